package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.lang.reflect.InvocationTargetException;
import java.net.SocketTimeoutException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.PortBusyException;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;

/** An application in a named package, using nothing of ruvek but its named API, over socat null-modems. */
class SerialLineTest {
    static final Duration LIMIT = Duration.ofSeconds(30);

    Path dir;
    Cable cable;

    /** A socat pair of pseudo-terminals: ours linked as COM{@code port}, the peer's end read and written here. */
    static final class Cable implements AutoCloseable {
        final Path ours;
        final Path link;
        final Process socat;
        final FileOutputStream out;
        final InputStream in;

        Cable(Path dir, int port) throws Exception {
            ours = dir.resolve("ours" + port);
            Path peer = dir.resolve("peer" + port);
            socat = new ProcessBuilder(System.getProperty("ruvek.socat", "socat"),
                    "pty,raw,echo=0,link=" + ours, "pty,raw,echo=0,link=" + peer)
                    .redirectErrorStream(true).redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            for (int i = 0; !(Files.exists(ours) && Files.exists(peer)); i++) {
                assertTrue(i < 1000 && socat.isAlive(), "socat did not make its pseudo-terminals");
                Thread.sleep(10);
            }
            link = Path.of(System.getenv("XDG_CONFIG_HOME"), "ruvek", "com" + port);
            Files.createDirectories(link.getParent());
            Files.deleteIfExists(link);
            Files.createSymbolicLink(link, ours);
            in = new FileInputStream(peer.toFile());
            out = new FileOutputStream(peer.toFile());
        }

        byte[] receive(int n) throws IOException {
            byte[] got = new byte[n];
            for (int k = 0, r; k < n; k += r)
                if ((r = in.read(got, k, n - k)) < 0)
                    throw new IOException("the cable was pulled after " + k + " bytes");
            return got;
        }

        void pull() throws IOException {
            socat.destroyForcibly();
            try {
                socat.waitFor(10, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                throw new java.io.InterruptedIOException();
            }
        }

        @Override
        public void close() throws IOException {
            pull();
            in.close();
            out.close();
            Files.deleteIfExists(link);
        }
    }

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-line");
        cable = new Cable(dir, 51);
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        try (var files = Files.list(dir)) {
            files.forEach(f -> f.toFile().delete());
        }
        Files.deleteIfExists(dir);
    }

    static byte[] allBytes() {
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        return all;
    }

    @Test
    void streamsCarryEveryByteValueBothWays() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 115200)) {
                assertEquals(51, line.port());
                assertEquals(115200, line.baud());
                line.getOutputStream().write(allBytes());
                line.getOutputStream().write(0x1FF); // the low 8 bits
                assertArrayEquals(allBytes(), cable.receive(256));
                assertEquals(0xFF, cable.receive(1)[0] & 0xFF);

                cable.out.write(allBytes());
                byte[] got = new byte[256];
                for (int n = 0; n < got.length; )
                    n += line.getInputStream().read(got, n, got.length - n);
                assertArrayEquals(allBytes(), got);
                cable.out.write(0xFE);
                assertEquals(0xFE, line.getInputStream().read());
            }
        });
    }

    @Test
    void aReadTimesOutWhenAskedAndTheLineStaysUsable() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 9600)) {
                line.setReadTimeout(300);
                for (int round = 0; round < 3; round++) {
                    long start = System.nanoTime();
                    assertThrows(SocketTimeoutException.class, () -> line.getInputStream().read());
                    long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
                    assertTrue(ms >= 300 && ms < 350, "timed out after " + ms + " ms");
                }
                cable.out.write('t');
                assertEquals('t', line.getInputStream().read());
                assertThrows(IllegalArgumentException.class, () -> line.setReadTimeout(-1));
            }
        });
    }

    @Test
    void closeFromAnotherThreadEndsABlockedReadAndFreesThePort() {
        assertTimeoutPreemptively(LIMIT, () -> {
            SerialLine line = SerialLine.open(51, 9600);
            CompletableFuture<Long> ended = CompletableFuture.supplyAsync(() -> {
                IOException e = assertThrows(IOException.class, () -> line.getInputStream().read());
                assertTrue(e.getMessage().contains("closed"), e.getMessage());
                return System.nanoTime();
            });
            Thread.sleep(300);
            assertFalse(ended.isDone(), "the read did not wait");
            long closed = System.nanoTime();
            line.close();
            line.close(); // again: nothing more
            long ms = TimeUnit.NANOSECONDS.toMillis(ended.get(5, TimeUnit.SECONDS) - closed);
            assertTrue(ms < 100, "the read ended " + ms + " ms after close");
            assertThrows(IOException.class, () -> line.getOutputStream().write('x'));

            try (SerialLine again = SerialLine.open(51, 9600)) {
                again.getOutputStream().write('a');
                assertEquals('a', cable.receive(1)[0]);
            }
        });
    }

    @Test
    void closeFromAnotherThreadEndsAWriteHeldByFlowControl() {
        assertTimeoutPreemptively(LIMIT, () -> {
            SerialLine line = SerialLine.open(51, 115200);
            byte[] lots = new byte[4 << 20]; // far more than the queues hold while the peer does not read
            CompletableFuture<IOException> write = CompletableFuture.supplyAsync(
                    () -> assertThrows(IOException.class, () -> line.getOutputStream().write(lots)));
            Thread.sleep(500);
            assertFalse(write.isDone(), "the write did not wait for the peer");
            line.close();
            assertTrue(write.get(5, TimeUnit.SECONDS).getMessage().endsWith("the line is closed"));
            SerialLine.open(51, 9600).close(); // the port is free again
        });
    }

    @Test
    void aSecondLineIsRefusedAndTheFirstKeepsItsPort() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (Cable other = new Cable(dir, 52)) {
                SerialLine first = SerialLine.open(51, 9600);
                try {
                    PortBusyException busy = assertThrows(PortBusyException.class, () -> SerialLine.open(52, 9600));
                    assertEquals(52, busy.port());
                    assertTrue(busy.getMessage().startsWith("COM52 (/dev/pts/"), busy.getMessage());
                    assertTrue(busy.getMessage().contains("COM51 (/dev/pts/")
                            && busy.getMessage().contains("already open"), busy.getMessage());
                    assertThrows(PortBusyException.class, () -> SerialLine.open(51, 9600));

                    first.getOutputStream().write('1'); // still COM51's
                    assertEquals('1', cable.receive(1)[0]);
                } finally {
                    first.close();
                }
                try (SerialLine second = SerialLine.open(52, 9600)) {
                    // The closed line reaches nothing, least of all the port open now.
                    assertThrows(IOException.class, () -> first.getOutputStream().write('x'));
                    other.out.write('y');
                    Thread.sleep(100);
                    assertThrows(IOException.class, () -> first.getInputStream().read());
                    assertEquals('y', second.getInputStream().read());
                    second.getOutputStream().write('2');
                    assertEquals('2', other.receive(1)[0]);
                }
            }
        });
    }

    @Test
    void aSecondClassLoaderIsRefusedTooNamingTheOpenPort() {
        assertTimeoutPreemptively(LIMIT, () -> {
            URL classes = SerialLine.class.getProtectionDomain().getCodeSource().getLocation();
            try (SerialLine first = SerialLine.open(51, 9600);
                    URLClassLoader app = new URLClassLoader(new URL[] {classes}, null)) {
                Class<?> twin = app.loadClass("ruvek.SerialLine");
                assertFalse(twin == SerialLine.class);
                InvocationTargetException e = assertThrows(InvocationTargetException.class,
                        () -> twin.getMethod("open", int.class, int.class).invoke(null, 52, 9600));
                assertEquals("ruvek.PortBusyException", e.getCause().getClass().getName(), e.getCause().toString());
                assertTrue(e.getCause().getMessage().contains("COM51 (/dev/pts/"), e.getCause().getMessage());
                first.getOutputStream().write('k');
                assertEquals('k', cable.receive(1)[0]);
            }
        });
    }

    @Test
    void aDeviceRemovedMidReadEndsTheRead() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 9600)) {
                CompletableFuture<IOException> read = CompletableFuture.supplyAsync(
                        () -> assertThrows(IOException.class, () -> line.getInputStream().read()));
                Thread.sleep(300);
                assertFalse(read.isDone());
                cable.pull();
                IOException e = read.get(5, TimeUnit.SECONDS);
                assertTrue(e instanceof PortDisconnectedException, e.toString());
                assertTrue(e.getMessage().matches("COM51 \\(/dev/pts/[0-9]+\\): disconnected; the device is gone"),
                        e.getMessage());
                assertThrows(PortDisconnectedException.class, () -> line.getInputStream().read());
                assertThrows(IOException.class, () -> line.getOutputStream().write('x'));
            }
        });
    }

    @Test
    void theListingFindsALinkedPseudoTerminal() throws Exception {
        String device = cable.ours.toRealPath().toString();
        List<SerialPortInfo> ports = SerialPorts.list();
        SerialPortInfo info = ports.stream().filter(p -> p.device().equals(device)).findFirst().orElseThrow();
        assertEquals(51, info.port().getAsInt());
        assertEquals("pty_slave", info.driver());
        assertNull(info.vendorId());
        assertNull(info.serialNumber());
        assertEquals("COM51 " + device + " pty_slave", info.toString());

        // No links, no hardware of its own: what remains of the list is the machine's, and still a list.
        Files.delete(cable.link);
        assertTrue(SerialPorts.list().stream().noneMatch(p -> p.device().equals(device)));
        SerialPortException gone = assertThrows(SerialPortException.class, () -> SerialLine.open(51, 9600));
        assertEquals(51, gone.port());
    }
}
