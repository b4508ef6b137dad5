// SerialPorts.watch over socat ptys linked as COM ports: what it tells, and that its close ends it cleanly.
package com.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.PortWatchListener;
import ruvek.PortWatcher;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;
import ruvek.testing.NullModem;

class PortWatchTest {
    static final Duration LIMIT = Duration.ofSeconds(120);
    // Each close waits for the kernel to tear its inotify instance down: the many cycles take long.
    static final Duration CYCLES_LIMIT = Duration.ofSeconds(540);
    static final String THREAD = "ruvek port watcher";

    Path dir;
    List<NullModem> cables = new ArrayList<>();

    @BeforeEach
    void makeFolder() throws Exception {
        dir = Files.createTempDirectory("ruvek-watch");
    }

    @AfterEach
    void unplug() throws Exception {
        for (NullModem c : cables) {
            Files.deleteIfExists(c.link);
            c.close();
        }
        NullModem.removeFolder(dir);
    }

    /** A pty pair whose link com{@code port} is not made yet. */
    NullModem cable(int port) throws Exception {
        NullModem c = new NullModem(dir, port);
        cables.add(c);
        Files.delete(c.link);
        return c;
    }

    /** What a listener was told, in order, as "added"/"removed" and the port. */
    static final class Told implements PortWatchListener {
        final List<Object[]> calls = new ArrayList<>();
        final List<String> threads = new ArrayList<>();

        @Override
        public synchronized void added(SerialPortInfo port) {
            calls.add(new Object[] {"added", port});
            threads.add(Thread.currentThread().getName());
        }

        @Override
        public synchronized void removed(SerialPortInfo port) {
            calls.add(new Object[] {"removed", port});
            threads.add(Thread.currentThread().getName());
        }

        /** The port on COM{@code n} last told as {@code what}; null when none. */
        synchronized SerialPortInfo find(String what, int n) {
            SerialPortInfo found = null;
            for (Object[] c : calls) {
                SerialPortInfo p = (SerialPortInfo) c[1];
                if (c[0].equals(what) && p.port().isPresent() && p.port().getAsInt() == n)
                    found = p;
            }
            return found;
        }

        synchronized boolean addedAll(List<SerialPortInfo> ports) {
            for (SerialPortInfo p : ports) {
                boolean seen = false;
                for (Object[] c : calls)
                    seen |= c[0].equals("added") && c[1].equals(p);
                if (!seen)
                    return false;
            }
            return true;
        }

        synchronized int size() {
            return calls.size();
        }
    }

    static SerialPortInfo listed(int n) {
        for (SerialPortInfo p : SerialPorts.list())
            if (p.port().isPresent() && p.port().getAsInt() == n)
                return p;
        return null;
    }

    static long watcherThreads() {
        return Thread.getAllStackTraces().keySet().stream().filter(t -> t.getName().equals(THREAD)).count();
    }

    @Test
    void itTellsThePortsThereThenALinkAddedAndRemovedAsListShowsThem() {
        assertTimeoutPreemptively(LIMIT, () -> {
            NullModem c = cable(81);
            List<SerialPortInfo> before = SerialPorts.list();
            Told told = new Told();
            try (PortWatcher w = SerialPorts.watch(told)) {
                assertTrue(w.isActive());
                assertTrue(w.toString().contains("com links in"), w.toString());
                // Those there before and still there after: another suite's may come and go meanwhile.
                NullModem.waitFor("the ports there at the start", () -> {
                    List<SerialPortInfo> stayed = new ArrayList<>(before);
                    stayed.retainAll(SerialPorts.list());
                    return told.addedAll(stayed);
                });
                assertEquals(null, told.find("added", 81));

                Files.createSymbolicLink(c.link, c.ours);
                NullModem.waitFor("COM81 added", () -> told.find("added", 81) != null);
                SerialPortInfo added = told.find("added", 81);
                assertEquals(listed(81), added, "the same port that list() gives");
                assertEquals(c.ours.toRealPath().toString(), added.device());

                Files.delete(c.link);
                NullModem.waitFor("COM81 removed", () -> told.find("removed", 81) != null);
                assertEquals(added, told.find("removed", 81));
                synchronized (told) {
                    for (String t : told.threads)
                        assertEquals(THREAD, t);
                }
            }
        });
    }

    @Test
    void afterCloseNothingIsToldAndTheThreadIsGone() {
        assertTimeoutPreemptively(LIMIT, () -> {
            NullModem c = cable(82);
            long threads = watcherThreads();
            Told closedOne = new Told(), witness = new Told();
            PortWatcher w = SerialPorts.watch(closedOne);
            try (PortWatcher open = SerialPorts.watch(witness)) {
                assertTrue(open.isActive());
                w.close();
                int toldBefore = closedOne.size();
                assertFalse(w.isActive());
                assertTrue(w.toString().endsWith("; closed]"), w.toString());
                w.close(); // a second close does nothing
                Files.createSymbolicLink(c.link, c.ours);
                NullModem.waitFor("COM82 added to the open watcher", () -> witness.find("added", 82) != null);
                assertEquals(toldBefore, closedOne.size(), "told after its close");
                assertEquals(null, closedOne.find("added", 82));
            }
            assertEquals(threads, watcherThreads());
        });
    }

    @Test
    void aListenerThatThrowsIsHandedOnAndTheWatchGoesOn() {
        assertTimeoutPreemptively(LIMIT, () -> {
            NullModem c = cable(83);
            Thread.UncaughtExceptionHandler old = Thread.getDefaultUncaughtExceptionHandler();
            List<Throwable> handed = new ArrayList<>();
            Thread.setDefaultUncaughtExceptionHandler((t, e) -> {
                synchronized (handed) {
                    handed.add(e);
                }
            });
            Told told = new Told();
            try (PortWatcher w = SerialPorts.watch(new PortWatchListener() {
                @Override
                public void added(SerialPortInfo port) {
                    told.added(port);
                    throw new IllegalStateException("added " + port.device());
                }

                @Override
                public void removed(SerialPortInfo port) {
                    told.removed(port);
                    throw new IllegalStateException("removed " + port.device());
                }
            })) {
                Files.createSymbolicLink(c.link, c.ours);
                NullModem.waitFor("COM83 added", () -> told.find("added", 83) != null);
                Files.delete(c.link);
                NullModem.waitFor("COM83 removed", () -> told.find("removed", 83) != null);
                assertTrue(w.isActive());
                synchronized (handed) {
                    assertEquals(told.size(), handed.size(), "each throw handed to the handler");
                    assertTrue(handed.get(handed.size() - 1).getMessage().startsWith("removed "));
                }
            } finally {
                Thread.setDefaultUncaughtExceptionHandler(old);
            }
        });
    }

    @Test
    void aListenerMayCloseItsWatcherWithoutADeadlock() {
        assertTimeoutPreemptively(LIMIT, () -> {
            NullModem c = cable(84);
            Files.createSymbolicLink(c.link, c.ours); // at least one port to be told
            long threads = watcherThreads();
            AtomicReference<PortWatcher> self = new AtomicReference<>();
            CountDownLatch started = new CountDownLatch(1), closedInside = new CountDownLatch(1);
            AtomicInteger calls = new AtomicInteger();
            PortWatchListener closer = new PortWatchListener() {
                @Override
                public void added(SerialPortInfo port) {
                    calls.incrementAndGet();
                    try {
                        started.await();
                    } catch (InterruptedException e) {
                        throw new IllegalStateException(e);
                    }
                    self.get().close();
                    closedInside.countDown();
                }

                @Override
                public void removed(SerialPortInfo port) {
                    calls.incrementAndGet();
                }
            };
            self.set(SerialPorts.watch(closer));
            started.countDown();
            assertTrue(closedInside.await(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS));
            NullModem.waitFor("the watcher's thread to end", () -> watcherThreads() == threads);
            assertEquals(1, calls.get(), "nothing told after the close inside the listener");
            self.get().close(); // and again from outside: nothing left to do
        });
    }

    @Test
    void startedAndClosed10000TimesItLeavesNoThreadAndNoDescriptor() {
        assertTimeoutPreemptively(CYCLES_LIMIT, () -> {
            PortWatchListener quiet = new PortWatchListener() {
                @Override
                public void added(SerialPortInfo port) {}

                @Override
                public void removed(SerialPortInfo port) {}
            };
            // A first round opens what the JVM keeps open from then on (classes, the library).
            SerialPorts.watch(quiet).close();
            long threads = watcherThreads();
            int fds = new File("/proc/self/fd").list().length;
            // Under an emulator, which stretches each inotify close's grace period, a thousand.
            int cycles = Boolean.getBoolean("ruvek.emulated") ? 1000 : 10_000;
            for (int i = 0; i < cycles; i++)
                SerialPorts.watch(quiet).close();
            assertEquals(threads, watcherThreads());
            int after = new File("/proc/self/fd").list().length;
            // The JVM itself may hold a descriptor or two more; a leak would be thousands.
            assertTrue(after <= fds + 4, fds + " descriptors before, " + after + " after");
        });
    }
}
