// The port watcher on real drivers: the FT232 pulled out and plugged back, told as removed and added.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.EnumSet;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.PortWatchListener;
import ruvek.PortWatcher;
import ruvek.SerialLine;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;

class WatchTest {
    /** What a watcher told, "+DEVICE" or "-DEVICE", in order. */
    static final class Told implements PortWatchListener {
        final LinkedBlockingQueue<String> said = new LinkedBlockingQueue<>();

        @Override
        public void added(SerialPortInfo port) {
            said.add("+" + port.device());
        }

        @Override
        public void removed(SerialPortInfo port) {
            said.add("-" + port.device());
        }

        private final java.util.List<String> seen = new java.util.ArrayList<>();

        /** Waits for one telling, seen already or yet to come; each is taken once. */
        void await(String what) throws InterruptedException {
            if (seen.remove(what))
                return;
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(Rig.PATIENCE_MS);
            for (;;) {
                String s = said.poll(Math.max(1, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
                if (s == null)
                    throw new AssertionError("not told " + what + " within " + Rig.PATIENCE_MS + " ms; told " + seen);
                if (s.equals(what))
                    return;
                seen.add(s);
            }
        }
    }

    /** device_del tells the watcher and the open line; device_add tells the watcher again. */
    @Test
    void theAdapterPulledOutAndPluggedBackIsToldToTheWatcherAndItsOpenLine() throws Exception {
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "no adapter came");
        Told told = new Told();
        try (PortWatcher watcher = SerialPorts.watch(told)) {
            told.await("+" + Rig.ADAPTER);
            told.await("+" + Rig.UART);
            assertTrue(watcher.toString().contains("uevents"), watcher.toString());
            try (SerialLine line = SerialLine.open(Rig.ADAPTER, 115200)) {
                LinkedBlockingQueue<LineEvent> events = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.DEVICE_GONE), events::add);
                Rig.ask("unplug");
                told.await("-" + Rig.ADAPTER);
                LineEvent gone = events.poll(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertTrue(gone != null && gone.type() == Type.DEVICE_GONE, "the open line was told " + gone);
            }
            // Closed, the line frees the minor number: the new adapter is ttyUSB0 again.
            Rig.ask("replug");
            told.await("+" + Rig.ADAPTER);
        } finally {
            if (!Rig.present(Rig.ADAPTER))
                Rig.ask("replug");
        }
    }
}
