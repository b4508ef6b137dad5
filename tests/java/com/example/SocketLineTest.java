// A SerialLine over raw TCP (socket://): bytes both ways, settings refused by name, the server's close a disconnect.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.EnumSet;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.Framing;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.LineSettings;
import ruvek.NoSuchPortException;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.testing.NullModem;

class SocketLineTest {
    static final Duration LIMIT = Duration.ofSeconds(120);

    /** A server on loopback that echoes what it gets, once, on its own thread; closed with the test. */
    static ServerSocket echo(InetAddress at) throws Exception {
        ServerSocket server = new ServerSocket(0, 1, at);
        Thread t = new Thread(() -> {
            try (Socket s = server.accept(); InputStream in = s.getInputStream(); OutputStream out = s.getOutputStream()) {
                byte[] buf = new byte[8192];
                for (int n; (n = in.read(buf)) > 0; )
                    out.write(buf, 0, n);
            } catch (Exception e) {
                // the test is over
            }
        });
        t.setDaemon(true);
        t.start();
        return server;
    }

    @Test
    void bytesGoRoundAnEchoingServerAndSettingsAreRefusedAsNotSupportedByThisTransport() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (ServerSocket server = echo(InetAddress.getLoopbackAddress());
                    SerialLine line = SerialLine.open("socket://127.0.0.1:" + server.getLocalPort(), 115200)) {
                byte[] sent = new byte[300_000];
                new Random(3).nextBytes(sent);
                CompletableFuture<byte[]> back = CompletableFuture.supplyAsync(() -> {
                    byte[] got = new byte[sent.length];
                    try {
                        for (int k = 0; k < got.length; )
                            k += line.getInputStream().read(got, k, got.length - k);
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                    return got;
                });
                line.getOutputStream().write(sent);
                assertArrayEquals(sent, back.get(60, TimeUnit.SECONDS), "every byte value, round the server");
                SerialPortException no = assertThrows(SerialPortException.class, () -> line.setSettings(LineSettings.of(9600)));
                assertTrue(no.getMessage().endsWith("changing the settings: not supported by this transport"), no.getMessage());
                assertThrows(SerialPortException.class, line::settings);
                assertThrows(SerialPortException.class, () -> line.setDTR(true));
                assertThrows(SerialPortException.class, () -> line.sendBreak(10));
                assertThrows(SerialPortException.class, () -> line.listen(EnumSet.of(Type.CTS), e -> {}));
                // Messages and events come over it as over any line.
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.MESSAGE), Framing.delimiter("\n", 64), told::add, null);
                line.getOutputStream().write("ping\n".getBytes(StandardCharsets.US_ASCII));
                LineEvent m = told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertEquals("ping", new String(m.message(), StandardCharsets.US_ASCII));
            }
        });
    }

    @Test
    void theServerClosingIsADisconnectAfterWhatItSent() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                CompletableFuture<Void> serve = CompletableFuture.runAsync(() -> {
                    try (Socket s = server.accept()) {
                        s.getOutputStream().write("last words".getBytes(StandardCharsets.US_ASCII));
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                try (SerialLine line = SerialLine.open("socket://localhost:" + server.getLocalPort(), 9600)) {
                    LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                    serve.get(30, TimeUnit.SECONDS);
                    byte[] got = new byte[10];
                    for (int k = 0; k < got.length; )
                        k += line.getInputStream().read(got, k, got.length - k);
                    assertEquals("last words", new String(got, StandardCharsets.US_ASCII));
                    assertThrows(PortDisconnectedException.class, () -> line.getInputStream().read());
                    line.listen(EnumSet.of(Type.DEVICE_GONE), told::add);
                    assertEquals(Type.DEVICE_GONE, told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS).type());
                }
            }
        });
    }

    @Test
    void badNamesAreRefusedNamingTheFaultAndAnIpv6LiteralWorks() throws Exception {
        for (String bad : new String[] {"socket://", "socket://host", "socket://:5", "socket://h:0", "socket://h:65536",
                "socket://h:x", "socket://a b:5", "socket://::1:5", "socket://[zz]:5"})
            assertThrows(IllegalArgumentException.class, () -> SerialLine.open(bad, 9600), bad);
        int port;
        try (ServerSocket gone = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            port = gone.getLocalPort();
        }
        NoSuchPortException e = assertThrows(NoSuchPortException.class,
                () -> SerialLine.open("socket://127.0.0.1:" + port, 9600));
        assertTrue(e.getMessage().contains("cannot connect"), e.getMessage());
        InetAddress v6;
        try {
            v6 = InetAddress.getByName("::1");
            new ServerSocket(0, 1, v6).close();
        } catch (Exception none) {
            v6 = null;
        }
        assumeTrue(v6 != null, "no IPv6 loopback here");
        try (ServerSocket server = echo(v6);
                SerialLine line = SerialLine.open("socket://[::1]:" + server.getLocalPort(), 9600)) {
            line.getOutputStream().write('6');
            assertEquals('6', line.getInputStream().read());
            assertTrue(((InetSocketAddress) server.getLocalSocketAddress()).getAddress().getHostAddress().contains(":"));
        }
    }

    @Test
    void rfc2217NamesAreCheckedAsSocketNamesAre() {
        for (String bad : new String[] {"rfc2217://", "rfc2217://host", "rfc2217://h:0", "rfc2217://::1:5"})
            assertThrows(IllegalArgumentException.class, () -> SerialLine.open(bad, 9600), bad);
        NoSuchPortException e = assertThrows(NoSuchPortException.class, () -> SerialLine.open("rfc2217://h.invalid:1", 9600));
        assertTrue(e.getMessage().contains("cannot connect"), e.getMessage());
    }
}
