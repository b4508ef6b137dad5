// The ruvek API as an application in a named package uses it.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.lang.reflect.InvocationTargetException;
import java.net.SocketTimeoutException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import java.nio.charset.StandardCharsets;
import ruvek.LineSettings;
import ruvek.PortBusyException;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;
import ruvek.UnsupportedSettingsException;
import ruvek.testing.NullModem;

/** An application in a named package, using nothing of ruvek but its named API, over socat null-modems. */
class SerialLineTest {
    // Only a hang runs into it; what a test waits for, it waits for with NullModem.PATIENCE_MS.
    static final Duration LIMIT = Duration.ofSeconds(120);

    Path dir;
    NullModem cable;

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-line");
        cable = new NullModem(dir, 51).openUnread();
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        NullModem.removeFolder(dir);
    }

    @Test
    void streamsCarryEveryByteValueBothWays() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 115200)) {
                assertEquals(51, line.port());
                assertEquals(115200, line.baud());
                line.getOutputStream().write(NullModem.allBytes());
                line.getOutputStream().write(0x1FF); // the low 8 bits
                assertArrayEquals(NullModem.allBytes(), cable.receive(256));
                assertEquals(0xFF, cable.receive(1)[0] & 0xFF);

                cable.write(NullModem.allBytes());
                byte[] got = new byte[256];
                for (int n = 0; n < got.length; )
                    n += line.getInputStream().read(got, n, got.length - n);
                assertArrayEquals(NullModem.allBytes(), got);
                cable.write(0xFE);
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
                    assertTrue(ms >= 300 && ms < NullModem.PATIENCE_MS, "timed out after " + ms + " ms");
                }
                cable.write('t');
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
            long ms = TimeUnit.NANOSECONDS.toMillis(ended.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS) - closed);
            assertTrue(ms < NullModem.PATIENCE_MS, "the read ended " + ms + " ms after close");
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
            assertTrue(write.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS).getMessage().endsWith("the line is closed"));
            SerialLine.open(51, 9600).close(); // the port is free again
        });
    }

    /** How often each byte value occurs. */
    static long[] histogram(byte[] b, int n) {
        long[] h = new long[256];
        for (int i = 0; i < n; i++)
            h[b[i] & 0xFF]++;
        return h;
    }

    @Test
    void threadsSharingALineGetEachByteOnceAndWriteWholeCalls() {
        assertTimeoutPreemptively(LIMIT, () -> {
            SerialLine line = SerialLine.open(51, 115200);
            try {
                byte[] sent = new byte[1 << 20];
                new Random(3).nextBytes(sent);
                byte[][] got = new byte[2][sent.length];
                int[] counts = new int[2];
                java.util.concurrent.atomic.AtomicInteger total = new java.util.concurrent.atomic.AtomicInteger();
                List<Thread> readers = new ArrayList<>();
                for (int r = 0; r < 2; r++) {
                    int me = r;
                    readers.add(new Thread(() -> {
                        try {
                            // One reads in blocks, the other a byte at a time.
                            while (true) {
                                int n = 1;
                                if (me == 0)
                                    n = line.getInputStream().read(got[0], counts[0], Math.min(512, sent.length - counts[0]));
                                else
                                    got[1][counts[1]] = (byte) line.getInputStream().read();
                                counts[me] += n;
                                total.addAndGet(n);
                            }
                        } catch (IOException closed) {
                            // the test is over
                        }
                    }));
                }
                readers.forEach(Thread::start);
                cable.write(sent);
                // Two writers of 512-byte blocks, each block one value: every run of a value is whole blocks.
                byte[][] blocks = {new byte[512], new byte[512]};
                java.util.Arrays.fill(blocks[0], (byte) 'a');
                java.util.Arrays.fill(blocks[1], (byte) 'b');
                List<CompletableFuture<Void>> writers = new ArrayList<>();
                for (byte[] block : blocks)
                    writers.add(CompletableFuture.runAsync(() -> {
                        try {
                            for (int i = 0; i < 64; i++)
                                line.getOutputStream().write(block);
                        } catch (IOException e) {
                            throw new java.io.UncheckedIOException(e);
                        }
                    }));
                byte[] out = cable.receive(2 * 64 * 512);
                for (CompletableFuture<Void> w : writers)
                    w.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                for (int i = 0; i < out.length; i += 512)
                    for (int k = 1; k < 512; k++)
                        assertEquals(out[i], out[i + k], "writes mixed within a block at " + (i + k));

                NullModem.waitFor("every byte read", () -> total.get() >= sent.length);
                Thread.sleep(200); // a byte read twice would show now
                line.close();
                for (Thread t : readers)
                    t.join(NullModem.PATIENCE_MS);
                assertEquals(sent.length, counts[0] + counts[1], "bytes lost or read twice");
                long[] want = histogram(sent, sent.length), h0 = histogram(got[0], counts[0]), h1 = histogram(got[1], counts[1]);
                for (int v = 0; v < 256; v++)
                    assertEquals(want[v], h0[v] + h1[v], "byte value " + v);
            } finally {
                line.close();
            }
        });
    }

    @Test
    void bytesThatArrivedBeforeTheDeviceWentAreReadAfterAFailedWrite() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 115200)) {
                byte[] sent = new byte[3000];
                new Random(4).nextBytes(sent);
                cable.write(sent);
                byte[] got = new byte[sent.length];
                // All of it has arrived, and the first read takes it from the device.
                NullModem.waitFor("3000 bytes waiting", () -> line.getInputStream().available() == sent.length);
                got[0] = (byte) line.getInputStream().read();
                cable.pull();
                assertThrows(PortDisconnectedException.class, () -> line.getOutputStream().write('x'));
                for (int n = 1; n < got.length; )
                    n += line.getInputStream().read(got, n, got.length - n);
                assertArrayEquals(sent, got);
                assertThrows(PortDisconnectedException.class, () -> line.getInputStream().read());
            }
        });
    }

    @Test
    void closeWithAReadInFlightReturnsWithThePortFree() {
        assertTimeoutPreemptively(LIMIT, () -> {
            for (int round = 0; round < 100; round++) {
                SerialLine line = SerialLine.open(51, 9600);
                CompletableFuture<Void> read = CompletableFuture.runAsync(() -> {
                    assertThrows(IOException.class, () -> line.getInputStream().read());
                });
                Thread.sleep(1);
                line.close();
                SerialLine.open(51, 9600).close(); // at once
                read.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
            }
        });
    }

    @Test
    void theDeviceNamedIsTheOneOpenedWhileItsLinkChanges() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem other = new NullModem(dir, 52).openUnread()) {
                NullModem[] cables = {cable, other};
                String[] devices = {cable.ours.toRealPath().toString(), other.ours.toRealPath().toString()};
                Path link = cable.link.resolveSibling("com60");
                Path next = cable.link.resolveSibling("com60.next");
                AtomicBoolean stop = new AtomicBoolean();
                Thread flipper = new Thread(() -> {
                    try {
                        for (int i = 0; !stop.get(); i++) {
                            Files.deleteIfExists(next);
                            Files.createSymbolicLink(next, cables[i % 2].ours);
                            Files.move(next, link, StandardCopyOption.ATOMIC_MOVE);
                        }
                    } catch (IOException e) {
                        throw new java.io.UncheckedIOException(e);
                    }
                });
                Files.deleteIfExists(link); // left by a run that was cut short
                Files.createSymbolicLink(link, cable.ours);
                flipper.setDaemon(true);
                flipper.start();
                int wrong = 0, refused = 0;
                try {
                    for (int round = 0; round < 300; round++) {
                        SerialLine line;
                        try {
                            line = SerialLine.open(60, 9600);
                        } catch (SerialPortException e) {
                            assertTrue(e.getMessage().contains("its link changed"), e.getMessage());
                            refused++;
                            continue;
                        }
                        try (line) {
                            line.getOutputStream().write('d');
                        }
                        int named = line.device().equals(devices[0]) ? 0 : 1;
                        assertEquals(devices[named], line.device());
                        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(NullModem.PATIENCE_MS);
                        while (cables[0].available() + cables[1].available() == 0 && System.nanoTime() < deadline)
                            Thread.sleep(1);
                        if (cables[named].available() == 0)
                            wrong++;
                        for (NullModem c : cables)
                            c.drop();
                    }
                } finally {
                    stop.set(true);
                    flipper.join();
                    Files.deleteIfExists(link);
                    Files.deleteIfExists(next);
                }
                assertEquals(0, wrong, "opens whose device() named the other pty");
                assertTrue(refused < 150, refused + " of 300 opens refused");
            }
        });
    }

    @Test
    void twoLinesOpenAtOnceEachOnItsOwnPortWhileASecondOpenOfEitherIsRefused() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem other = new NullModem(dir, 52).openUnread()) {
                SerialLine first = SerialLine.open(51, 9600);
                // By the device's path, with no link: the name SerialPortInfo gives.
                SerialLine second = SerialLine.open(other.ours.toRealPath().toString(), 9600);
                try {
                    assertEquals(SerialLine.NO_PORT, second.port());
                    NullModem[] cables = {cable, other};
                    SerialLine[] lines = {first, second};
                    for (int i = 0; i < 2; i++) {
                        lines[i].getOutputStream().write(NullModem.allBytes());
                        cables[i].write(NullModem.allBytes());
                    }
                    for (int i = 0; i < 2; i++) {
                        assertArrayEquals(NullModem.allBytes(), cables[i].receive(256), "sent on line " + i);
                        byte[] got = new byte[256];
                        for (int n = 0; n < got.length; )
                            n += lines[i].getInputStream().read(got, n, got.length - n);
                        assertArrayEquals(NullModem.allBytes(), got, "received on line " + i);
                    }

                    PortBusyException busy = assertThrows(PortBusyException.class, () -> SerialLine.open(51, 9600));
                    assertEquals(51, busy.port());
                    assertTrue(busy.getMessage().matches("COM51 \\(/dev/pts/[0-9]+\\): busy; already open in this process"),
                            busy.getMessage());
                    busy = assertThrows(PortBusyException.class, () -> SerialLine.open(second.device(), 9600));
                    assertEquals(second.device() + ": busy; already open in this process", busy.getMessage());
                    first.getOutputStream().write('1'); // still COM51's
                    assertEquals('1', cable.receive(1)[0]);
                } finally {
                    first.close();
                    second.close();
                }
                try (SerialLine again = SerialLine.open(52, 9600)) {
                    // The closed lines reach nothing, least of all the port open now.
                    assertThrows(IOException.class, () -> second.getOutputStream().write('x'));
                    other.write('y');
                    NullModem.waitFor("the byte at the open line", () -> again.getInputStream().available() == 1);
                    assertThrows(IOException.class, () -> second.getInputStream().read());
                    assertThrows(IOException.class, () -> second.getInputStream().available());
                    assertEquals(1, again.getInputStream().available());
                    assertEquals('y', again.getInputStream().read());
                    again.getOutputStream().write('2');
                    assertEquals('2', other.receive(1)[0]);
                }
            }
        });
    }

    @Test
    void aBulkTransferMovesAMebibyteEachWayWhole() {
        assertTimeoutPreemptively(LIMIT, () -> {
            byte[] data = new byte[1 << 20];
            new Random(7).nextBytes(data);
            try (SerialLine line = SerialLine.open(51, 115200)) {
                CompletableFuture<byte[]> far = CompletableFuture.supplyAsync(() -> {
                    try {
                        return cable.receive(data.length);
                    } catch (IOException e) {
                        throw new RuntimeException(e);
                    }
                });
                line.getOutputStream().write(data); // returns once the driver took every byte
                assertArrayEquals(data, far.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS));

                CompletableFuture<Void> writer = CompletableFuture.runAsync(() -> {
                    try {
                        cable.write(data);
                    } catch (IOException e) {
                        throw new RuntimeException(e);
                    }
                });
                byte[] got = new byte[data.length];
                int calls = 0;
                for (int n = 0; n < got.length; calls++)
                    n += line.getInputStream().read(got, n, got.length - n);
                writer.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertArrayEquals(data, got);
                assertTrue(calls < data.length / 64, calls + " reads for 1 MiB: each should take what has arrived");
            }
        });
    }

    @Test
    void tenThousandOpensAndClosesLeaveDescriptorsThreadsAndMemoryFlat() {
        assertTimeoutPreemptively(Duration.ofSeconds(120), () -> {
            try (NullModem two = new NullModem(dir, 52).openUnread();
                    NullModem three = new NullModem(dir, 53).openUnread()) {
                String[] devices = {cable.ours.toRealPath().toString(), two.ours.toRealPath().toString(),
                        three.ours.toRealPath().toString()};
                SerialLine[] open = new SerialLine[devices.length];
                long[] before = null;
                for (int round = 0; round < 3_400; round++) {
                    if (round == 100) // once the JIT and the caches have settled
                        before = usage();
                    for (int i = 0; i < devices.length; i++)
                        open[i] = SerialLine.open(devices[i], 9600);
                    for (SerialLine line : open)
                        line.close();
                }
                long[] after = usage();
                // The JVM may close a file of its own meanwhile: fewer is no leak.
                assertTrue(after[0] <= before[0], "open descriptors: " + before[0] + " before, " + after[0] + " after");
                assertTrue(after[1] <= before[1], "threads: " + before[1] + " before, " + after[1] + " after");
                assertTrue(after[2] - before[2] < 8 << 20, "resident memory grew by " + (after[2] - before[2]) + " bytes");
            }
        });
    }

    /** Open descriptors, live threads and resident bytes of this process. */
    static long[] usage() throws IOException {
        System.gc();
        long fds;
        try (java.util.stream.Stream<Path> s = Files.list(Path.of("/proc/self/fd"))) {
            fds = s.count();
        }
        long rss = 0;
        for (String line : Files.readAllLines(Path.of("/proc/self/status")))
            if (line.startsWith("VmRSS:"))
                rss = Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
        return new long[] {fds, Thread.activeCount(), rss};
    }

    @Test
    void aSecondClassLoaderOpensItsOwnLinesButNoPortThatTheFirstHolds() {
        assertTimeoutPreemptively(LIMIT, () -> {
            // The jar, whose native the loader copies for each further class loader.
            URL classes = Path.of(System.getProperty("ruvek.jar")).toUri().toURL();
            try (NullModem other = new NullModem(dir, 52).openUnread();
                    SerialLine first = SerialLine.open(51, 9600);
                    URLClassLoader app = new URLClassLoader(new URL[] {classes}, null)) {
                Class<?> twin = app.loadClass("ruvek.SerialLine");
                assertFalse(twin == SerialLine.class);
                InvocationTargetException e = assertThrows(InvocationTargetException.class,
                        () -> twin.getMethod("open", int.class, int.class).invoke(null, 51, 9600));
                assertEquals("ruvek.PortBusyException", e.getCause().getClass().getName(), e.getCause().toString());
                assertTrue(e.getCause().getMessage().contains("already open in this process"), e.getCause().getMessage());
                try (AutoCloseable second = (AutoCloseable) twin.getMethod("open", int.class, int.class).invoke(null, 52, 9600)) {
                    other.write('s');
                    // java.io's classes are the same in both loaders.
                    java.io.InputStream in = (java.io.InputStream) twin.getMethod("getInputStream").invoke(second);
                    assertEquals('s', in.read());
                }
                first.getOutputStream().write('k');
                assertEquals('k', cable.receive(1)[0]);
            }
        });
    }

    @Test
    void settingsAPtyKeepsAreInForceAndReadBackWhatItRevertsIsRefusedNamingTheField() {
        assertTimeoutPreemptively(LIMIT, () -> {
            // A pseudo-terminal keeps stop bits and both handshakes; it forces 8 data bits and no parity.
            LineSettings kept = LineSettings.of(19200).withFormat("8N2").withFlowControl(LineSettings.FlowControl.RTS_CTS);
            try (SerialLine line = SerialLine.open(51, kept)) {
                assertEquals(kept, line.settings());
                UnsupportedSettingsException refused = assertThrows(UnsupportedSettingsException.class,
                        () -> line.setSettings(LineSettings.of(9600).withFormat("7E1")));
                assertEquals("data bits", refused.field());
                assertTrue(refused.getMessage().endsWith("the driver refused data bits 7; the line keeps its settings"),
                        refused.getMessage());
                refused = assertThrows(UnsupportedSettingsException.class,
                        () -> line.setSettings(kept.withParity(LineSettings.Parity.EVEN)));
                assertEquals("parity", refused.field());
                assertEquals(kept, line.settings(), "a refused change left the line half-changed");
                LineSettings xon = kept.withFlowControl(LineSettings.FlowControl.XON_XOFF).withFormat("8N1");
                line.setSettings(xon);
                assertEquals(xon, line.settings());
                line.getOutputStream().write('s'); // still a working line
                assertEquals('s', cable.receive(1)[0]);
            }
            // Refused at open: nothing stays open.
            UnsupportedSettingsException e = assertThrows(UnsupportedSettingsException.class,
                    () -> SerialLine.open(51, LineSettings.of(9600).withFormat("8E1")));
            assertEquals("parity", e.field());
            SerialLine.open(51, 9600).close();
        });
    }

    @Test
    void modemLinesOnAPtyAreNotSupportedWhileBreakDrainAndPurgeWork() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(cable.ours.toRealPath().toString(), 9600)) {
                SerialPortException e = assertThrows(SerialPortException.class, () -> line.setDTR(true));
                assertTrue(e.getMessage().endsWith(": DTR: not supported by this device"), e.getMessage());
                e = assertThrows(SerialPortException.class, () -> line.setRTS(false));
                assertTrue(e.getMessage().endsWith(": RTS: not supported by this device"), e.getMessage());
                e = assertThrows(SerialPortException.class, line::isCTS);
                assertTrue(e.getMessage().endsWith(": modem lines: not supported by this device"), e.getMessage());
                assertThrows(IllegalArgumentException.class, () -> line.sendBreak(-1));
                line.getOutputStream().write("request".getBytes(StandardCharsets.US_ASCII));
                line.drain();
                line.sendBreak(20);
                // A break reaches the far end of a pty as nothing: only the request's bytes.
                assertArrayEquals("request".getBytes(StandardCharsets.US_ASCII), cable.receive(7));
                cable.write("stale".getBytes(StandardCharsets.US_ASCII));
                NullModem.waitFor("5 bytes waiting", () -> line.getInputStream().available() >= 5);
                assertEquals(5, line.getInputStream().available());
                line.purgeInput();
                assertEquals(0, line.getInputStream().available());
                cable.write('r');
                assertEquals('r', line.getInputStream().read());
                line.purgeOutput();
            }
        });
    }

    @Test
    void settingsOutOfRangeAreRefusedBeforeAnyNativeCallNamingTheValue() {
        assertEquals("data bits must be 5 to 8, not 4",
                assertThrows(IllegalArgumentException.class, () -> LineSettings.of(9600).withDataBits(4)).getMessage());
        assertEquals("data bits must be 5 to 8, not 9",
                assertThrows(IllegalArgumentException.class, () -> LineSettings.of(9600).withDataBits(9)).getMessage());
        assertEquals("the baud rate must be positive, not 0",
                assertThrows(IllegalArgumentException.class, () -> LineSettings.of(0)).getMessage());
        assertThrows(IllegalArgumentException.class, () -> LineSettings.of(9600).withFormat("9N1"));
        assertThrows(IllegalArgumentException.class, () -> LineSettings.of(9600).withFormat("8X1"));
        LineSettings s = LineSettings.of(300).withFormat("5m1.5");
        assertEquals(5, s.dataBits());
        assertEquals(LineSettings.Parity.MARK, s.parity());
        assertEquals(LineSettings.StopBits.ONE_POINT_FIVE, s.stopBits());
        assertEquals("300 5M1.5, flow control NONE", s.toString());
        LineSettings both = s.withLowLatency(true).withRs485(true);
        assertEquals("300 5M1.5, flow control NONE, low latency, RS-485", both.toString());
        assertTrue(both.lowLatency() && both.rs485());
        assertEquals(s, both.withLowLatency(false).withRs485(false));
        assertEquals("RS-485 direction control takes RTS, which RTS/CTS flow control needs",
                assertThrows(IllegalArgumentException.class, () -> both.withFlowControl(LineSettings.FlowControl.RTS_CTS))
                        .getMessage());
    }

    @Test
    void aPtyRefusesLowLatencyAndRs485ByNameAtOpenAndLater() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(51, 9600)) {
                for (LineSettings asked : new LineSettings[] {LineSettings.of(9600).withLowLatency(true),
                        LineSettings.of(9600).withRs485(true)}) {
                    UnsupportedSettingsException e = assertThrows(UnsupportedSettingsException.class,
                            () -> line.setSettings(asked));
                    assertEquals(asked.lowLatency() ? "low latency" : "RS-485", e.field());
                    assertTrue(e.getMessage().endsWith("the driver refused " + e.field() + " on; the line keeps its settings"),
                            e.getMessage());
                    assertEquals(LineSettings.of(9600), line.settings());
                }
            }
            UnsupportedSettingsException e = assertThrows(UnsupportedSettingsException.class,
                    () -> SerialLine.open(51, LineSettings.of(9600).withRs485(true)));
            assertEquals("RS-485", e.field());
            assertTrue(e.getMessage().endsWith("the driver refused RS-485 on; nothing is open"), e.getMessage());
            SerialLine.open(51, 9600).close(); // nothing stayed open
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
                IOException e = read.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
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
