// Thread.interrupt() on readers of a SerialLine, which wait in the natives with no return to Java.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.InputStream;
import java.io.InterruptedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

class LineInterruptTest {
    static final Duration LIMIT = Duration.ofSeconds(120);

    Path dir;
    NullModem cable;

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-interrupt");
        cable = new NullModem(dir, 56).openUnread();
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        NullModem.removeFolder(dir);
    }

    /** Starts a thread blocked in a read of the line; returns once it waits in the natives. */
    static Thread blockedReader(InputStream in, CompletableFuture<Throwable> ended) throws Exception {
        Thread reader = new Thread(() -> {
            try {
                in.read();
                ended.complete(null);
            } catch (Throwable e) {
                boolean kept = Thread.currentThread().isInterrupted() || !(e instanceof InterruptedIOException);
                ended.complete(kept ? e : new AssertionError("the interrupt status was cleared", e));
            }
        });
        reader.start();
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(NullModem.PATIENCE_MS);
        while (reader.getState() != Thread.State.RUNNABLE || !inNative(reader)) {
            assertTrue(System.nanoTime() < deadline, "the reader never reached its wait");
            Thread.sleep(5);
        }
        return reader;
    }

    static boolean inNative(Thread t) {
        StackTraceElement[] stack = t.getStackTrace();
        return stack.length > 0 && stack[0].isNativeMethod() && stack[0].getMethodName().equals("read");
    }

    @Test
    void anInterruptEndsAWaitingReadAtOnceWithTheLineStillOpen() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(56, 9600)) {
                for (int timeout : new int[] {0, 3_600_000}) { // untimed, and a time-out far off
                    line.setReadTimeout(timeout);
                    CompletableFuture<Throwable> ended = new CompletableFuture<>();
                    Thread reader = blockedReader(line.getInputStream(), ended);
                    reader.interrupt();
                    Throwable e = ended.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                    assertTrue(e instanceof InterruptedIOException, "ended with " + e);
                    assertTrue(e.getMessage().contains("read interrupted"), e.getMessage());
                    reader.join();
                }
                // Open both ways: a write goes out and the next read waits for its byte.
                line.setReadTimeout(0);
                line.getOutputStream().write('o');
                assertEquals('o', cable.receive(1)[0]);
                CompletableFuture<Integer> next = CompletableFuture.supplyAsync(() -> {
                    try {
                        return line.getInputStream().read();
                    } catch (Exception e) {
                        throw new IllegalStateException(e);
                    }
                });
                Thread.sleep(200);
                assertFalse(next.isDone(), "a read after the interrupts did not wait");
                cable.write('n');
                assertEquals('n', (int) next.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS));
            }
        });
    }

    @Test
    void anInterruptedThreadStillGetsTheBytesWaitingThenItsReadIsInterrupted() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(56, 9600)) {
                cable.write(new byte[] {'a', 'b'});
                long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(NullModem.PATIENCE_MS);
                while (line.getInputStream().available() < 2)
                    assertTrue(System.nanoTime() < deadline, "the bytes never arrived");
                Thread.currentThread().interrupt();
                try {
                    byte[] got = new byte[8];
                    assertEquals(2, line.getInputStream().read(got));
                    assertArrayEquals(new byte[] {'a', 'b'}, java.util.Arrays.copyOf(got, 2));
                    assertThrows(InterruptedIOException.class, () -> line.getInputStream().read());
                    assertTrue(Thread.currentThread().isInterrupted());
                } finally {
                    Thread.interrupted();
                }
                // Cleared, a read waits again and nothing was lost.
                cable.write('c');
                assertEquals('c', line.getInputStream().read());
            }
        });
    }

    @Test
    void manyInterruptsAndClosesRaceWithoutAHangOrALostByte() {
        assertTimeoutPreemptively(LIMIT, () -> {
            for (int round = 0; round < 20; round++) {
                SerialLine line = SerialLine.open(56, 9600);
                CompletableFuture<Throwable> ended = new CompletableFuture<>();
                Thread reader = blockedReader(line.getInputStream(), ended);
                Thread interrupter = new Thread(() -> {
                    for (int i = 0; i < 50; i++)
                        reader.interrupt();
                });
                interrupter.start();
                if (round % 2 == 0)
                    line.close(); // beside the interrupts
                interrupter.join();
                Throwable e = ended.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertTrue(e instanceof java.io.IOException, "ended with " + e);
                reader.join();
                line.close();
            }
            // The port is free and carries bytes.
            try (SerialLine line = SerialLine.open(56, 9600)) {
                cable.write('z');
                assertEquals('z', line.getInputStream().read());
            }
        });
    }
}
