// A line's events on the 8250 and ftdi_sio: modem lines waited for in TIOCMIWAIT, a break, the adapter pulled out.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.EnumSet;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.LineEvents;
import ruvek.SerialLine;

@SuppressWarnings("try") // a Loop is held for its effect alone
class EventsTest {
    static LineEvent next(LinkedBlockingQueue<LineEvent> told, Type type) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(Rig.PATIENCE_MS);
        for (;;) {
            LineEvent e = told.poll(Math.max(1, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
            if (e == null)
                throw new AssertionError("no " + type + " within " + Rig.PATIENCE_MS + " ms");
            if (e.type() == type)
                return e;
        }
    }

    /**
     * In the UART's loopback DTR comes back as DSR and RTS as CTS, and the
     * bytes sent as bytes received. QEMU's 8250 raises no modem-status
     * interrupt there, so TIOCMIWAIT never wakes for a line: a change is told
     * at the next wake, here the bytes that SIGIO brings the wait out of the
     * driver for, with the level the line has then.
     */
    @Test
    void bytesEndAWaitInTheDriverAndModemLinesAreToldWithTheirLevelsNow() throws Exception {
        try (Loop loop = new Loop(Rig.UART); SerialLine line = SerialLine.open(Rig.UART, 9600)) {
            LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
            LineEvents events = line.listen(EnumSet.of(Type.CTS, Type.DSR, Type.DATA_AVAILABLE), told::add);
            Thread.sleep(300); // into TIOCMIWAIT
            line.setDTR(true);
            line.getOutputStream().write("loop".getBytes("US-ASCII"));
            LineEvent dsr = next(told, Type.DSR);
            assertTrue(dsr.isOn());
            assertTrue(next(told, Type.DATA_AVAILABLE).count() >= 1);
            line.purgeInput();
            line.setRTS(true);
            line.setDTR(false);
            line.getOutputStream().write('x');
            LineEvent cts = next(told, Type.CTS);
            assertTrue(cts.isOn());
            assertFalse(next(told, Type.DSR).isOn());

            // Idle, the wait costs nothing.
            Thread pump = Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().equals("ruvek events " + Rig.UART)).findFirst().orElseThrow();
            ThreadMXBean threads = ManagementFactory.getThreadMXBean();
            long before = threads.getThreadCpuTime(pump.getId());
            Thread.sleep(3000);
            long spent = threads.getThreadCpuTime(pump.getId()) - before;
            assertTrue(spent < 50_000_000L, "the idle wait spent " + spent / 1000 + " µs of CPU in 3 s");

            // Closing the listening ends the wait in the driver at once; the line goes on.
            long start = System.nanoTime();
            events.close();
            pump.join(Rig.PATIENCE_MS);
            assertFalse(pump.isAlive(), "the event thread stayed in its wait");
            System.out.println("events closed in " + (System.nanoTime() - start) / 1000 + " µs");
            line.setDTR(true);
            assertTrue(line.isDSR());
            assertTrue(told.stream().noneMatch(e -> e.type() == Type.CTS && !e.isOn()), "a level never had: " + told);
        }
    }

    @Test
    void closingTheLineEndsAWaitInTheDriverAndFreesThePort() throws Exception {
        try (Loop loop = new Loop(Rig.UART)) {
            SerialLine line = SerialLine.open(Rig.UART, 9600);
            line.listen(EnumSet.of(Type.CTS, Type.DSR, Type.DCD, Type.RI), e -> {});
            Thread.sleep(300); // into TIOCMIWAIT
            long start = System.nanoTime();
            line.close();
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(ms < 2000, "close took " + ms + " ms");
            SerialLine.open(Rig.UART, 9600).close();
        }
    }

    @Test
    void aBreakFromTheFarEndIsTold() throws Exception {
        try (SerialLine line = SerialLine.open(Rig.TELNET_UART, 9600)) {
            LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
            line.listen(EnumSet.of(Type.BREAK, Type.FRAMING_ERROR), told::add);
            Rig.ask("break s3");
            next(told, Type.BREAK);
        }
    }

    @Test
    void theAdapterPulledOutIsToldAsTheDeviceGone() throws Exception {
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "no adapter came");
        try (SerialLine line = SerialLine.open(Rig.ADAPTER, 115200)) {
            LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
            LineEvents events = line.listen(EnumSet.of(Type.DSR, Type.DEVICE_GONE), told::add);
            Thread.sleep(300); // into the wait
            Rig.ask("unplug");
            next(told, Type.DEVICE_GONE);
            assertTrue(Rig.waitFor(() -> !events.isActive()), "the listening went on");
            assertEquals(null, told.poll(300, TimeUnit.MILLISECONDS));
        } finally {
            Rig.ask("replug");
            assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "the new adapter never came");
        }
    }
}
