// A SerialLine's listener over a socat null-modem: what it is told, in order, and when it is told nothing more.
package com.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.LineEvents;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.testing.NullModem;

class LineEventsTest {
    static final Duration LIMIT = Duration.ofSeconds(120);
    static final long PATIENCE = NullModem.PATIENCE_MS;

    Path dir;
    NullModem cable;

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-events");
        cable = new NullModem(dir, 58).open();
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        NullModem.removeFolder(dir);
    }

    static LineEvent next(LinkedBlockingQueue<LineEvent> told) throws InterruptedException {
        LineEvent e = told.poll(PATIENCE, TimeUnit.MILLISECONDS);
        if (e == null)
            throw new AssertionError("no event within " + PATIENCE + " ms");
        return e;
    }

    @Test
    void dataAndOutputEmptyAreToldOnTheLinesOwnThread() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                List<String> threads = new ArrayList<>();
                LineEvents events = line.listen(EnumSet.of(Type.DATA_AVAILABLE, Type.OUTPUT_EMPTY), e -> {
                    synchronized (threads) {
                        threads.add(Thread.currentThread().getName());
                    }
                    told.add(e);
                });
                assertTrue(events.isActive());
                cable.write("hello".getBytes("US-ASCII"));
                LineEvent e = next(told);
                assertEquals(Type.DATA_AVAILABLE, e.type());
                assertTrue(e.count() >= 1 && e.count() <= 5, "count " + e.count());
                assertTrue(e.line() == line);
                // Reading what came is the application's: the bytes are all still there.
                byte[] got = new byte[5];
                int n = 0;
                while (n < 5)
                    n += line.getInputStream().read(got, n, 5 - n);
                assertEquals("hello", new String(got, "US-ASCII"));
                told.clear();

                line.getOutputStream().write(new byte[] {1, 2, 3});
                LineEvent empty;
                do
                    empty = next(told);
                while (empty.type() != Type.OUTPUT_EMPTY);
                synchronized (threads) {
                    assertTrue(threads.stream().allMatch(t -> t.equals("ruvek events " + line.device())),
                            threads.toString());
                }
                // One listener at a time.
                assertThrows(IllegalStateException.class, () -> line.listen(EnumSet.of(Type.BREAK), x -> {}));
                events.close();
                assertFalse(events.isActive());
                // Closed, it may be listened to again.
                line.listen(EnumSet.of(Type.DATA_AVAILABLE), told::add).close();
            }
        });
    }

    @Test
    void nothingIsToldOnceTheListeningOrTheLineIsClosed() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                AtomicInteger after = new AtomicInteger();
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                boolean[] closed = {false};
                LineEvents events = line.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> {
                    if (closed[0])
                        after.incrementAndGet();
                    told.add(e);
                });
                cable.write('a');
                next(told);
                events.close();
                closed[0] = true;
                line.purgeInput();
                for (int i = 0; i < 20; i++)
                    cable.write('b');
                NullModem.waitFor("the bytes to arrive", () -> line.getInputStream().available() > 0);
                Thread.sleep(200); // a listener still told would be told by now
                assertEquals(0, after.get());
            }
            // And the line's close, with a listener waiting in the system.
            SerialLine line = SerialLine.open(cable.port, 115200);
            AtomicInteger calls = new AtomicInteger();
            LineEvents events = line.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> calls.incrementAndGet());
            line.close();
            assertFalse(events.isActive());
            assertTrue(events.toString().contains("the line is closed"), events.toString());
            cable.write('c');
            Thread.sleep(200);
            assertEquals(0, calls.get());
            // The port is free at once, the event wait gone from it.
            SerialLine.open(cable.port, 115200).close();
        });
    }

    @Test
    void aListenerThatThrowsBlocksOrClosesTheLineHurtsNothing() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            // Throws: what it throws goes to the uncaught handler, and later events still come.
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                AtomicInteger calls = new AtomicInteger();
                LineEvents events = line.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> {
                    told.add(e);
                    if (calls.incrementAndGet() == 1) {
                        Thread.currentThread().setUncaughtExceptionHandler((t, x) -> {});
                        throw new IllegalStateException("the listener's own fault");
                    }
                });
                cable.write('x');
                next(told);
                line.purgeInput();
                cable.write('y');
                next(told);
                assertTrue(events.isActive());
            }
            // Blocks for ever: close still returns, and frees the port.
            CountDownLatch inside = new CountDownLatch(1);
            SerialLine blocked = SerialLine.open(cable.port, 115200);
            blocked.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> {
                inside.countDown();
                try {
                    new CountDownLatch(1).await();
                } catch (InterruptedException stop) {
                    Thread.currentThread().interrupt();
                }
            });
            cable.write('z');
            assertTrue(inside.await(PATIENCE, TimeUnit.MILLISECONDS));
            blocked.close();
            SerialLine.open(cable.port, 115200).close();
            // Closes the line from inside: no deadlock, the close done.
            SerialLine line = SerialLine.open(cable.port, 115200);
            CountDownLatch done = new CountDownLatch(1);
            line.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> {
                line.close();
                done.countDown();
            });
            cable.write('w');
            assertTrue(done.await(PATIENCE, TimeUnit.MILLISECONDS));
            assertThrows(SerialPortException.class, () -> line.getInputStream().read());
            SerialLine.open(cable.port, 115200).close();
        });
    }

    @Test
    void anExecutorIsToldInOrderAndTheDeviceGoingEndsIt() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            ExecutorService pool = Executors.newFixedThreadPool(4);
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                AtomicInteger overlapping = new AtomicInteger(), most = new AtomicInteger();
                LineEvents events = line.listen(EnumSet.of(Type.DATA_AVAILABLE, Type.DEVICE_GONE), e -> {
                    most.accumulateAndGet(overlapping.incrementAndGet(), Math::max);
                    told.add(e);
                    overlapping.decrementAndGet();
                }, pool);
                for (int i = 0; i < 50; i++) {
                    cable.write(i);
                    next(told);
                    line.getInputStream().read();
                }
                assertEquals(1, most.get(), "one event at a time");
                cable.pull();
                LineEvent gone;
                do
                    gone = next(told);
                while (gone.type() != Type.DEVICE_GONE);
                NullModem.waitFor("the listening to end", () -> !events.isActive());
                assertNull(told.poll(200, TimeUnit.MILLISECONDS));
            } finally {
                pool.shutdownNow();
            }
        });
    }

    @Test
    void modemLinesWhereTheDeviceHasNoneAreRefusedAtOnce() throws Exception {
        try (SerialLine line = SerialLine.open(cable.port, 115200)) {
            SerialPortException e = assertThrows(SerialPortException.class,
                    () -> line.listen(EnumSet.of(Type.CTS, Type.DATA_AVAILABLE), x -> {}));
            assertTrue(e.getMessage().contains("not supported"), e.getMessage());
            assertThrows(IllegalArgumentException.class, () -> line.listen(EnumSet.noneOf(Type.class), x -> {}));
            // The refusal leaves no listener behind.
            line.listen(EnumSet.of(Type.DATA_AVAILABLE), x -> {}).close();
        }
    }
    /** 32 lines listened to: a thread each, no more, and idle they spend next to nothing. */
    @Test
    void thirtyTwoListenedLinesCostAThreadEachAndNothingWhileIdle() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            List<NullModem> cables = new ArrayList<>();
            List<SerialLine> lines = new ArrayList<>();
            java.lang.management.ThreadMXBean mx = java.lang.management.ManagementFactory.getThreadMXBean();
            try {
                for (int i = 0; i < 32; i++)
                    cables.add(new NullModem(dir, 300 + i).open());
                for (NullModem c : cables)
                    lines.add(SerialLine.open(c.ours.toString(), 115200));
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                int before = mx.getThreadCount();
                for (SerialLine line : lines)
                    line.listen(EnumSet.of(Type.DATA_AVAILABLE, Type.BREAK, Type.FRAMING_ERROR), told::add);
                assertEquals(before + 32, mx.getThreadCount(), "threads for 32 listened lines");
                List<Thread> pumps = new ArrayList<>();
                for (Thread t : Thread.getAllStackTraces().keySet())
                    if (t.getName().startsWith("ruvek events ") && t.getName().contains("ours3"))
                        pumps.add(t);
                assertEquals(32, pumps.size());
                Thread.sleep(500); // into their waits
                long cpu = 0;
                for (Thread t : pumps)
                    cpu -= mx.getThreadCpuTime(t.getId());
                Thread.sleep(2000);
                for (Thread t : pumps)
                    cpu += mx.getThreadCpuTime(t.getId());
                assertTrue(cpu < 200_000_000L, "32 idle listeners spent " + cpu / 1000 + " µs of CPU in 2 s");
                for (NullModem c : cables)
                    c.write('x');
                java.util.Set<SerialLine> heard = new java.util.HashSet<>();
                while (heard.size() < 32)
                    heard.add(next(told).line());
                for (SerialLine line : lines)
                    line.close();
                for (Thread t : pumps) {
                    t.join(PATIENCE);
                    assertFalse(t.isAlive(), t.getName() + " outlived its line");
                }
            } finally {
                for (SerialLine line : lines)
                    line.close();
                for (NullModem c : cables)
                    c.close();
            }
        });
    }
}
