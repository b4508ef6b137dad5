// What every SerialLine promises, whatever carries it: one suite, run over a pty pair and over the in-memory pair.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InterruptedIOException;
import java.net.SocketTimeoutException;
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
import ruvek.MessageReader;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

abstract class LineContract {
    static final Duration LIMIT = Duration.ofSeconds(120);

    /** The line under test; the far end is what {@link #farWrite} and {@link #farReceive} work. */
    abstract SerialLine line() throws Exception;

    abstract void farWrite(byte[] b) throws Exception;

    /** The next n bytes at the far end, waiting for them. */
    abstract byte[] farReceive(int n) throws Exception;

    /** The far end goes, as an adapter pulled out. */
    abstract void farGoes() throws Exception;

    @Test
    void everyByteValueCrossesBothWaysAndAMebibyteWhole() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = line()) {
                line.getOutputStream().write(NullModem.allBytes());
                assertArrayEquals(NullModem.allBytes(), farReceive(256));
                farWrite(NullModem.allBytes());
                byte[] got = new byte[256];
                for (int n = 0; n < got.length; )
                    n += line.getInputStream().read(got, n, got.length - n);
                assertArrayEquals(NullModem.allBytes(), got);
                byte[] big = new byte[1 << 20];
                new Random(5).nextBytes(big);
                CompletableFuture<byte[]> far = CompletableFuture.supplyAsync(() -> {
                    try {
                        return farReceive(big.length);
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                line.getOutputStream().write(big);
                assertArrayEquals(big, far.get(60, TimeUnit.SECONDS));
            }
        });
    }

    @Test
    void aReadTimesOutIsInterruptedAndEndsWithACloseAndTheLineGoesOnMeanwhile() {
        assertTimeoutPreemptively(LIMIT, () -> {
            SerialLine line = line();
            try {
                line.setReadTimeout(200);
                assertThrows(SocketTimeoutException.class, () -> line.getInputStream().read());
                line.setReadTimeout(0);
                Thread me = Thread.currentThread();
                // Before or during the read's wait, the interrupt ends it alike.
                Thread interrupter = new Thread(() -> {
                    try {
                        Thread.sleep(300);
                    } catch (InterruptedException e) {
                        return;
                    }
                    me.interrupt();
                });
                interrupter.start();
                assertThrows(InterruptedIOException.class, () -> line.getInputStream().read());
                assertTrue(Thread.interrupted(), "the interrupt status stays");
                interrupter.join();
                farWrite(new byte[] {'k'});
                assertEquals('k', line.getInputStream().read(), "the line goes on after an interrupt");
                CompletableFuture<Object> blocked = CompletableFuture.supplyAsync(() -> {
                    try {
                        return line.getInputStream().read();
                    } catch (IOException e) {
                        return e;
                    }
                });
                Thread.sleep(200);
                assertFalse(blocked.isDone(), "the read did not wait");
                line.close();
                Object end = blocked.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertTrue(end instanceof IOException && ((IOException) end).getMessage().endsWith("the line is closed"),
                        String.valueOf(end));
            } finally {
                line.close();
            }
        });
    }

    @Test
    void eventsAndMessagesComeAndTheFarEndGoingIsADisconnectAfterItsBytes() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = line()) {
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.MESSAGE, Type.DEVICE_GONE), Framing.delimiter("\n", 32), told::add, null);
                farWrite("one\ntwo\n".getBytes("US-ASCII"));
                assertEquals("one", new String(next(told).message(), "US-ASCII"));
                assertEquals("two", new String(next(told).message(), "US-ASCII"));
                assertThrows(IllegalStateException.class, () -> line.listen(EnumSet.of(Type.BREAK), told::add),
                        "one listener at a time");
            }
            try (SerialLine line = line()) {
                farWrite("last".getBytes("US-ASCII"));
                MessageReader fixed = new MessageReader(line, Framing.length(4));
                assertEquals("last", new String(fixed.read(), "US-ASCII"));
                farGoes();
                assertThrows(PortDisconnectedException.class, () -> line.getInputStream().read());
            }
        });
    }

    static LineEvent next(LinkedBlockingQueue<LineEvent> told) throws InterruptedException {
        LineEvent e = told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
        if (e == null)
            throw new AssertionError("no event within " + NullModem.PATIENCE_MS + " ms");
        return e;
    }
}
