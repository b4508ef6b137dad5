// The in-memory pair keeps a line's promises: bytes, modem lines, breaks, settings, time-outs, interrupts, closes.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.InputStream;
import java.io.InterruptedIOException;
import java.net.SocketTimeoutException;
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
import ruvek.LinePair;
import ruvek.LineSettings;
import ruvek.MessageReader;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.UnsupportedSettingsException;
import ruvek.testing.NullModem;

class LinePairTest {
    static final Duration LIMIT = Duration.ofSeconds(120);

    static byte[] readFully(SerialLine line, int n) throws Exception {
        byte[] got = new byte[n];
        InputStream in = line.getInputStream();
        for (int k = 0; k < n; )
            k += in.read(got, k, n - k);
        return got;
    }

    static LineEvent next(LinkedBlockingQueue<LineEvent> told, Type type) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(NullModem.PATIENCE_MS);
        for (;;) {
            LineEvent e = told.poll(Math.max(1, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
            if (e == null)
                throw new AssertionError("no " + type);
            if (e.type() == type)
                return e;
        }
    }

    @Test
    void bytesCrossBothWaysAtOnceByteExactPastWhatAnEndHolds() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (LinePair pair = LinePair.open(LineSettings.of(115200))) {
                byte[] one = new byte[1 << 20], two = new byte[1 << 20];
                new Random(1).nextBytes(one);
                new Random(2).nextBytes(two);
                CompletableFuture<byte[]> atSecond = CompletableFuture.supplyAsync(() -> uncheck(() -> readFully(pair.second(), one.length)));
                CompletableFuture<byte[]> atFirst = CompletableFuture.supplyAsync(() -> uncheck(() -> readFully(pair.first(), two.length)));
                CompletableFuture<Void> w = CompletableFuture.runAsync(() -> uncheck(() -> {
                    pair.second().getOutputStream().write(two);
                    return null;
                }));
                pair.first().getOutputStream().write(one);
                w.get(60, TimeUnit.SECONDS);
                assertArrayEquals(one, atSecond.get(60, TimeUnit.SECONDS));
                assertArrayEquals(two, atFirst.get(60, TimeUnit.SECONDS));
                assertEquals(0, pair.first().getInputStream().available());
            }
        });
    }

    interface Work<T> {
        T run() throws Exception;
    }

    static <T> T uncheck(Work<T> w) {
        try {
            return w.run();
        } catch (Exception e) {
            throw new RuntimeException(e);
        }
    }

    @Test
    void modemLinesCrossAndABreakIsTheFarEndsEvent() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (LinePair pair = LinePair.open(LineSettings.of(9600))) {
                SerialLine a = pair.first(), b = pair.second();
                assertFalse(b.isDSR() || b.isDCD() || b.isCTS() || b.isRI());
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                b.listen(EnumSet.of(Type.CTS, Type.DSR, Type.DCD, Type.BREAK, Type.DATA_AVAILABLE), told::add);
                a.setDTR(true);
                assertTrue(next(told, Type.DSR).isOn());
                assertTrue(b.isDSR() && b.isDCD() && !b.isCTS());
                a.setRTS(true);
                assertTrue(next(told, Type.CTS).isOn());
                a.setDTR(false);
                assertFalse(next(told, Type.DSR).isOn());
                a.sendBreak(20);
                next(told, Type.BREAK);
                a.getOutputStream().write(new byte[] {1, 2, 3});
                assertTrue(next(told, Type.DATA_AVAILABLE).count() >= 1);
                assertFalse(a.isDSR(), "a's own DTR is not its DSR");
            }
        });
    }

    @Test
    void settingsAreKeptAndAFieldTheTestRefusesIsRefusedByName() throws Exception {
        try (LinePair pair = LinePair.open(LineSettings.of(19200))) {
            SerialLine a = pair.first();
            assertEquals(LineSettings.of(19200), a.settings());
            LineSettings e71 = LineSettings.of(9600).withFormat("7E1").withFlowControl(LineSettings.FlowControl.RTS_CTS);
            a.setSettings(e71);
            assertEquals(e71, a.settings());
            assertEquals(LineSettings.of(19200), pair.second().settings(), "each end keeps its own");
            pair.refuse(a, "parity");
            UnsupportedSettingsException no = assertThrows(UnsupportedSettingsException.class,
                    () -> a.setSettings(e71.withParity(LineSettings.Parity.ODD)));
            assertEquals("parity", no.field());
            assertEquals(e71, a.settings(), "a refusal leaves every setting");
            a.setSettings(e71.withBaud(4800)); // the same parity: taken
            assertEquals(4800, a.settings().baud());
            assertThrows(IllegalArgumentException.class, () -> pair.refuse(a, "colour"));
        }
    }

    @Test
    void closingOneEndIsADisconnectAtTheOtherAfterWhatItSent() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            LinePair pair = LinePair.open(LineSettings.of(9600));
            SerialLine a = pair.first(), b = pair.second();
            LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
            b.listen(EnumSet.of(Type.DEVICE_GONE), told::add);
            a.getOutputStream().write("bye".getBytes(StandardCharsets.US_ASCII));
            a.close();
            next(told, Type.DEVICE_GONE);
            assertEquals("bye", new String(readFully(b, 3), StandardCharsets.US_ASCII));
            assertThrows(PortDisconnectedException.class, () -> b.getInputStream().read());
            assertThrows(PortDisconnectedException.class, () -> b.getOutputStream().write(1));
            assertThrows(SerialPortException.class, () -> a.getOutputStream().write(1), "the closed end itself");
            pair.close();
        });
    }

    @Test
    void readsTimeOutAreInterruptedAndEndWithAClose() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (LinePair pair = LinePair.open(LineSettings.of(9600))) {
                SerialLine a = pair.first();
                a.setReadTimeout(100);
                assertThrows(SocketTimeoutException.class, () -> a.getInputStream().read());
                a.setReadTimeout(0);
                Thread reader = Thread.currentThread();
                Thread interrupter = new Thread(() -> {
                    try {
                        NullModem.waitFor("the read to wait", () -> reader.getState() == Thread.State.WAITING);
                    } catch (Exception e) {
                        throw new IllegalStateException(e);
                    }
                    reader.interrupt();
                });
                interrupter.start();
                assertThrows(InterruptedIOException.class, () -> a.getInputStream().read());
                assertTrue(Thread.interrupted(), "the interrupt status stays");
                interrupter.join();
                pair.second().getOutputStream().write('k');
                assertEquals('k', a.getInputStream().read(), "the line goes on after an interrupt");
                CompletableFuture<Object> blocked = CompletableFuture.supplyAsync(() -> {
                    try {
                        return a.getInputStream().read();
                    } catch (Exception e) {
                        return e;
                    }
                });
                Thread.sleep(100);
                a.close();
                assertTrue(blocked.get(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS) instanceof SerialPortException);
            }
        });
    }

    @Test
    void messagesFramedByADelimiterAndByAGapCrossThePair() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (LinePair pair = LinePair.open(LineSettings.of(9600))) {
                pair.second().getOutputStream().write("one\r\ntwo\r\n".getBytes(StandardCharsets.US_ASCII));
                MessageReader lines = new MessageReader(pair.first(), Framing.delimiter("\r\n", 16));
                assertEquals("one", new String(lines.read(), StandardCharsets.US_ASCII));
                assertEquals("two", new String(lines.read(), StandardCharsets.US_ASCII));
                MessageReader frames = new MessageReader(pair.first(), Framing.gapMillis(50, 64));
                pair.second().getOutputStream().write(new byte[] {9, 8, 7});
                assertArrayEquals(new byte[] {9, 8, 7}, frames.read());
            }
        });
    }
}
