// A measurement, not a test (scripts/bench plug): how soon the FT232's going and coming reach a watcher and its open line.
package ruvek.guest;

import java.util.EnumSet;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent.Type;
import ruvek.PortWatchListener;
import ruvek.PortWatcher;
import ruvek.SerialLine;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;

/**
 * Five rounds: the adapter pulled out while a line has it open, then
 * plugged back. Each prints "plug-bench ROUND removed|gone|added MS", in ms
 * from asking the bed to pull or plug (the control line's round trip and
 * QEMU's device_del or device_add included) to the watcher's removed, the
 * line's DEVICE_GONE and the watcher's added.
 */
class PlugBench {
    static final int ROUNDS = 5;

    static final java.util.List<String> early = new java.util.ArrayList<>();

    /** When `what` was told: taken from what came already, or waited for. */
    static long at(LinkedBlockingQueue<String> q, String what) throws InterruptedException {
        for (String s : early)
            if (s.startsWith(what + " ")) {
                early.remove(s);
                return Long.parseLong(s.substring(what.length() + 1));
            }
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(Rig.PATIENCE_MS);
        for (;;) {
            String s = q.poll(Math.max(1, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
            if (s == null)
                throw new AssertionError("no " + what + " within " + Rig.PATIENCE_MS + " ms");
            if (s.startsWith(what + " "))
                return Long.parseLong(s.substring(what.length() + 1));
            early.add(s);
        }
    }

    @Test
    void pullAndPlugTheAdapter() throws Exception {
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        LinkedBlockingQueue<String> told = new LinkedBlockingQueue<>();
        PortWatchListener listener = new PortWatchListener() {
            @Override
            public void added(SerialPortInfo port) {
                if (port.device().equals(Rig.ADAPTER))
                    told.add("added " + System.nanoTime());
            }

            @Override
            public void removed(SerialPortInfo port) {
                if (port.device().equals(Rig.ADAPTER))
                    told.add("removed " + System.nanoTime());
            }
        };
        try (PortWatcher watcher = SerialPorts.watch(listener)) {
            at(told, "added");
            System.out.println("plug-bench watching " + watcher);
            for (int round = 1; round <= ROUNDS; round++) {
                long pulled;
                try (SerialLine line = SerialLine.open(Rig.ADAPTER, 115200)) {
                    line.listen(EnumSet.of(Type.DEVICE_GONE), e -> told.add("gone " + System.nanoTime()));
                    Thread.sleep(300); // into the wait
                    pulled = System.nanoTime();
                    Rig.ask("unplug");
                    long removed = at(told, "removed"), gone = at(told, "gone");
                    System.out.printf("plug-bench %d removed %.1f%n", round, (removed - pulled) / 1e6);
                    System.out.printf("plug-bench %d gone %.1f%n", round, (gone - pulled) / 1e6);
                }
                long plugged = System.nanoTime();
                Rig.ask("replug");
                System.out.printf("plug-bench %d added %.1f%n", round, (at(told, "added") - plugged) / 1e6);
            }
        }
    }
}
