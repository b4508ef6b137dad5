// rfc2217:// lines: against Debian's ser2net on a socat null-modem, and against tiny servers that misbehave on purpose.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.EnumSet;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.LineSettings;
import ruvek.LineSettings.FlowControl;
import ruvek.LineSettings.Parity;
import ruvek.LineSettings.StopBits;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.UnsupportedSettingsException;
import ruvek.testing.NullModem;

class Rfc2217LineTest {
    static final Duration LIMIT = Duration.ofSeconds(120);
    static final String SER2NET = "/usr/sbin/ser2net";

    /** ser2net serving our end of a fresh null-modem over telnet(rfc2217) on a port of its own. */
    static final class Ser2net implements AutoCloseable {
        final NullModem cable;
        final Path dir;
        final int port;
        final Process process;

        Ser2net() throws Exception {
            this(57);
        }

        /** With the null-modem's link as com<comPort>, for suites that run beside this one. */
        Ser2net(int comPort) throws Exception {
            dir = Files.createTempDirectory("ruvek-ser2net");
            cable = new NullModem(dir, comPort);
            try (ServerSocket free = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                port = free.getLocalPort();
            }
            Path config = dir.resolve("ser2net.yaml");
            Files.writeString(config, "connection: &line\n"
                    + "  accepter: telnet(rfc2217),tcp,127.0.0.1," + port + "\n"
                    + "  connector: serialdev," + cable.ours.toRealPath() + ",9600n81,local\n");
            process = new ProcessBuilder(SER2NET, "-n", "-d", "-u", "-c", config.toString())
                    .redirectErrorStream(true).redirectOutput(dir.resolve("ser2net.log").toFile()).start();
            NullModem.waitFor("ser2net to listen on " + port, () -> {
                try (Socket probe = new Socket(InetAddress.getLoopbackAddress(), port)) {
                    return probe.isConnected();
                } catch (java.io.IOException notYet) {
                    return !process.isAlive() && fail("ser2net ended: " + Files.readString(dir.resolve("ser2net.log")));
                }
            });
        }

        private static boolean fail(String why) {
            throw new AssertionError(why);
        }

        String name() {
            return "rfc2217://127.0.0.1:" + port;
        }

        String stty() throws Exception {
            Process p = new ProcessBuilder("stty", "-F", cable.ours.toRealPath().toString(), "-a")
                    .redirectErrorStream(true).start();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
            p.waitFor();
            return " " + out.replace('\n', ' ').replace(';', ' ') + " ";
        }

        @Override public void close() throws java.io.IOException {
            process.destroyForcibly();
            try {
                process.waitFor(10, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            cable.close();
            NullModem.removeFolder(dir);
        }
    }

    static void assumeSer2net() {
        assumeTrue(new File(SER2NET).canExecute(), "ser2net is not installed (Debian's package ser2net)");
    }

    static byte[] ffHeavy(int n, long seed) {
        byte[] b = new byte[n];
        new Random(seed).nextBytes(b);
        for (int i = 0; i < n; i += 3)
            b[i] = (byte) 0xFF;
        for (int i = 1; i < n; i += 97)
            b[i] = '\r';
        return b;
    }

    @Test
    void twoMibBothWaysByteExactThroughSer2net() throws Exception {
        assumeSer2net();
        assertTimeoutPreemptively(LIMIT, () -> {
            try (Ser2net s = new Ser2net(); SerialLine line = SerialLine.open(s.name(), 115200)) {
                s.cable.openUnread();
                byte[] out = ffHeavy(2 << 20, 1), in = ffHeavy(2 << 20, 2);
                CompletableFuture<byte[]> atPeer = CompletableFuture.supplyAsync(() -> {
                    try {
                        return s.cable.receive(out.length);
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                CompletableFuture<Void> fromPeer = CompletableFuture.runAsync(() -> {
                    try {
                        for (int k = 0; k < in.length; k += 4096)
                            s.cable.write(java.util.Arrays.copyOfRange(in, k, Math.min(in.length, k + 4096)));
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                CompletableFuture<Void> toPeer = CompletableFuture.runAsync(() -> {
                    try {
                        line.getOutputStream().write(out);
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                byte[] got = new byte[in.length];
                for (int k = 0; k < got.length; )
                    k += line.getInputStream().read(got, k, got.length - k);
                assertArrayEquals(in, got, "the device's bytes, every 0xFF and CR as sent");
                assertArrayEquals(out, atPeer.get(60, TimeUnit.SECONDS), "the line's bytes at the device");
                toPeer.get(60, TimeUnit.SECONDS);
                fromPeer.get(60, TimeUnit.SECONDS);
            }
        });
    }

    @Test
    void everySettingIsAppliedAtTheDeviceAndReadBackAsSer2netConfirmedIt() throws Exception {
        assumeSer2net();
        assertTimeoutPreemptively(LIMIT, () -> {
            LineSettings asked = LineSettings.of(19200).withFormat("7E2").withFlowControl(FlowControl.XON_XOFF);
            try (Ser2net s = new Ser2net(); SerialLine line = SerialLine.open(s.name(), asked)) {
                assertEquals(asked, line.settings());
                // Linux's pty forces CS8 without parity whatever ser2net sets, so those two are seen only as confirmed.
                String stty = s.stty();
                for (String flag : new String[] {" speed 19200 baud", " -parodd ", " cstopb ", " ixon "})
                    assertTrue(stty.contains(flag), flag + " in" + stty);
                LineSettings next = LineSettings.of(57600).withFormat("8O1").withFlowControl(FlowControl.RTS_CTS);
                line.setSettings(next);
                assertEquals(next, line.settings());
                stty = s.stty();
                for (String flag : new String[] {" speed 57600 baud", " cs8 ", " parodd ", " -cstopb ", " crtscts "})
                    assertTrue(stty.contains(flag), flag + " in" + stty);
                // Termios has no 1.5 stop bits, which ser2net answers with silence: refused, and nothing changes.
                UnsupportedSettingsException e = assertThrows(UnsupportedSettingsException.class,
                        () -> line.setSettings(next.withStopBits(StopBits.ONE_POINT_FIVE)));
                assertTrue(e.getMessage().endsWith("the server did not confirm stop bits 1.5 within 5000 ms; "
                        + "the line keeps its settings"), e.getMessage());
                assertEquals(next, line.settings());
                assertTrue(s.stty().contains(" speed 57600 baud"));
                // Low latency and RS-485 have no command: refused before anything is sent.
                assertThrows(UnsupportedSettingsException.class, () -> line.setSettings(next.withLowLatency(true)));
            }
        });
    }

    @Test
    void breakAndPurgeThroughSer2netAndModemLinesThatAPtyLacksAreRefused() throws Exception {
        assumeSer2net();
        assertTimeoutPreemptively(LIMIT, () -> {
            try (Ser2net s = new Ser2net(); SerialLine line = SerialLine.open(s.name(), 9600)) {
                s.cable.openUnread();
                line.getOutputStream().write("before".getBytes(StandardCharsets.US_ASCII));
                line.sendBreak(50);
                assertEquals("before", new String(s.cable.receive(6), StandardCharsets.US_ASCII));
                s.cable.write("stale".getBytes(StandardCharsets.US_ASCII));
                NullModem.waitFor("the device's bytes at the line", () -> line.getInputStream().available() == 5);
                line.purgeInput();
                assertEquals(0, line.getInputStream().available());
                line.purgeOutput();
                s.cable.write('x');
                assertEquals('x', line.getInputStream().read(), "the line goes on after its purges");
                // A pty has no DTR: ser2net answers nothing, which is a refusal, and the line goes on.
                SerialPortException e = assertThrows(SerialPortException.class, () -> line.setDTR(true));
                assertTrue(e.getMessage().endsWith("DTR: not supported by this device"), e.getMessage());
                line.getOutputStream().write('y');
                assertEquals('y', s.cable.receive(1)[0]);
            }
        });
    }

    @Test
    void ser2netKilledMidTransferIsADisconnect() throws Exception {
        assumeSer2net();
        assertTimeoutPreemptively(LIMIT, () -> {
            try (Ser2net s = new Ser2net(); SerialLine line = SerialLine.open(s.name(), 9600)) {
                s.cable.open();
                CompletableFuture<Exception> reading = CompletableFuture.supplyAsync(() -> {
                    byte[] buf = new byte[4096];
                    try {
                        for (;;)
                            line.getInputStream().read(buf);
                    } catch (Exception e) {
                        return e;
                    }
                });
                byte[] chunk = ffHeavy(65536, 3);
                line.getOutputStream().write(chunk);
                s.cable.write(chunk);
                s.process.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
                Exception e = reading.get(30, TimeUnit.SECONDS);
                assertTrue(e instanceof PortDisconnectedException, e.toString());
                assertThrows(PortDisconnectedException.class, () -> {
                    for (;;)
                        line.getOutputStream().write(chunk);
                });
            }
        });
    }

    /**
     * A server of the test's own on a loopback port: it answers what the
     * client sends as serve says, each request as one call with its bytes.
     */
    static ServerSocket server(BiConsumer<byte[], OutputStream> serve) throws Exception {
        ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
        Thread t = new Thread(() -> {
            try (Socket s = server.accept()) {
                InputStream in = s.getInputStream();
                OutputStream out = s.getOutputStream();
                byte[] buf = new byte[4096];
                for (int n; (n = in.read(buf)) > 0; )
                    serve.accept(java.util.Arrays.copyOf(buf, n), out);
            } catch (Exception done) {
                // the client went
            }
        }, "fake server");
        t.setDaemon(true);
        t.start();
        return server;
    }

    static void send(OutputStream out, int... bytes) {
        try {
            for (int b : bytes)
                out.write(b);
            out.flush();
        } catch (Exception e) {
            throw new RuntimeException(e);
        }
    }

    @Test
    void aServerThatRefusesTheOptionFailsTheOpenSayingSo() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (ServerSocket server = server((got, out) -> send(out, 255, 254, 44, 255, 254, 0, 255, 252, 0))) {
                SerialPortException e = assertThrows(SerialPortException.class,
                        () -> SerialLine.open("rfc2217://127.0.0.1:" + server.getLocalPort(), 9600));
                assertTrue(e.getMessage().contains("refuses the COM port option"), e.getMessage());
            }
        });
    }

    @Test
    void anEndlessSubnegotiationIsCutOffWithAClearError() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (ServerSocket server = server((got, out) -> {
                send(out, 255, 250, 44);
                byte[] endless = new byte[1 << 16];
                try {
                    for (;;)
                        out.write(endless);
                } catch (Exception cutOff) {
                    // the client closed the connection, as it must
                }
            })) {
                SerialPortException e = assertThrows(SerialPortException.class,
                        () -> SerialLine.open("rfc2217://127.0.0.1:" + server.getLocalPort(), 9600));
                assertTrue(e.getMessage().contains("subnegotiation of more than 256 bytes"), e.getMessage());
            }
        });
    }

    /** A server that agrees everything, answers each command with its value, and tells what the test pushes. */
    @Test
    void modemLinesBreaksAndErrorsComeFromTheServersNotificationsAndDtrIsConfirmed() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            LinkedBlockingQueue<OutputStream> outs = new LinkedBlockingQueue<>();
            LinkedBlockingQueue<Integer> controls = new LinkedBlockingQueue<>();
            try (ServerSocket server = server((got, out) -> {
                outs.offer(out);
                for (int i = 0; i + 2 < got.length; i++) {
                    if ((got[i] & 0xFF) == 255 && (got[i + 1] & 0xFF) == 251)
                        send(out, 255, 253, got[i + 2] & 0xFF);
                    else if ((got[i] & 0xFF) == 255 && (got[i + 1] & 0xFF) == 253)
                        send(out, 255, 251, got[i + 2] & 0xFF);
                    else if ((got[i] & 0xFF) == 255 && (got[i + 1] & 0xFF) == 250 && got[i + 2] == 44) {
                        int j = i + 3, code = got[j++] & 0xFF;
                        ByteArrayOutputStreamLike reply = new ByteArrayOutputStreamLike(255, 250, 44, code + 100);
                        for (; !((got[j] & 0xFF) == 255 && (got[j + 1] & 0xFF) == 240); j++)
                            reply.add(got[j] & 0xFF);
                        if (code == 5)
                            controls.offer(got[i + 4] & 0xFF);
                        reply.add(255, 240);
                        send(out, reply.bytes());
                    }
                }
            }); SerialLine line = SerialLine.open("rfc2217://127.0.0.1:" + server.getLocalPort(),
                    LineSettings.of(4800).withParity(Parity.MARK))) {
                assertEquals(LineSettings.of(4800).withParity(Parity.MARK), line.settings());
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.CTS, Type.DSR, Type.DCD, Type.RI, Type.BREAK, Type.FRAMING_ERROR), told::add);
                OutputStream out = outs.take();
                send(out, 255, 250, 44, 107, 0x10 | 0x20 | 0x03, 255, 240); // CTS and DSR up
                LineEvent a = told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS), b = told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertEquals(Type.CTS, a.type());
                assertEquals(Type.DSR, b.type());
                assertTrue(line.isCTS() && line.isDSR() && !line.isDCD() && !line.isRI());
                send(out, 255, 250, 44, 106, 0x10 | 0x08, 255, 240); // a break, and a framing error
                assertEquals(Type.BREAK, told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS).type());
                assertEquals(Type.FRAMING_ERROR, told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS).type());
                controls.clear();
                line.setDTR(true);
                line.setRTS(false);
                assertEquals(8, controls.take());
                assertEquals(12, controls.take());
                // Data with 0xFF in it, escaped by the server, arrives once.
                send(out, 'a', 255, 255, 'b');
                byte[] got = new byte[3];
                for (int k = 0; k < 3; )
                    k += line.getInputStream().read(got, k, 3 - k);
                assertArrayEquals(new byte[] {'a', (byte) 0xFF, 'b'}, got);
                assertFalse(told.stream().anyMatch(e -> e.type() == Type.RI));
            }
        });
    }

    /**
     * A server that answers 19200 only after the client has given up on it
     * and asked for 38400: the late answer is not taken for the next one's.
     */
    @Test
    void aLateAnswerIsNotTakenForTheNextAsksAnswer() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            int[][] held = {null};
            try (ServerSocket server = server((got, out) -> {
                for (int i = 0; i + 2 < got.length; i++) {
                    int b1 = got[i + 1] & 0xFF;
                    if ((got[i] & 0xFF) == 255 && (b1 == 251 || b1 == 253))
                        send(out, 255, b1 == 251 ? 253 : 251, got[i + 2] & 0xFF);
                    else if ((got[i] & 0xFF) == 255 && b1 == 250 && got[i + 2] == 44) {
                        int j = i + 3, code = got[j++] & 0xFF;
                        ByteArrayOutputStreamLike reply = new ByteArrayOutputStreamLike(255, 250, 44, code + 100);
                        long value = 0;
                        for (; !((got[j] & 0xFF) == 255 && (got[j + 1] & 0xFF) == 240); j++) {
                            reply.add(got[j] & 0xFF);
                            value = value << 8 | (got[j] & 0xFF);
                        }
                        reply.add(255, 240);
                        if (code == 1 && value == 19200) {
                            held[0] = reply.bytes(); // answered just before 38400's answer
                            continue;
                        }
                        if (code == 1 && value == 38400 && held[0] != null) {
                            send(out, held[0]);
                            held[0] = null;
                            try {
                                Thread.sleep(300); // so that the client sees the late answer alone first
                            } catch (InterruptedException stop) {
                                return;
                            }
                        }
                        send(out, reply.bytes());
                    }
                }
            }); SerialLine line = SerialLine.open("rfc2217://127.0.0.1:" + server.getLocalPort(), 9600)) {
                UnsupportedSettingsException e = assertThrows(UnsupportedSettingsException.class,
                        () -> line.setSettings(LineSettings.of(19200)));
                assertEquals("baud", e.field());
                assertTrue(e.getMessage().endsWith("the server did not confirm baud 19200 within 5000 ms; the line keeps "
                        + "its settings"), e.getMessage());
                assertEquals(LineSettings.of(9600), line.settings());
                line.setSettings(LineSettings.of(38400));
                assertEquals(LineSettings.of(38400), line.settings());
            }
        });
    }

    /** Bytes gathered for one reply. */
    static final class ByteArrayOutputStreamLike {
        private final java.io.ByteArrayOutputStream b = new java.io.ByteArrayOutputStream();

        ByteArrayOutputStreamLike(int... start) {
            add(start);
        }

        void add(int... v) {
            for (int x : v)
                b.write(x);
        }

        int[] bytes() {
            byte[] a = b.toByteArray();
            int[] r = new int[a.length];
            for (int i = 0; i < a.length; i++)
                r[i] = a[i] & 0xFF;
            return r;
        }
    }
}
