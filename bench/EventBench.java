// SerialLine's events measured: a data event's wake-up, and what listening costs while nothing happens.
import java.io.FileOutputStream;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.Random;
import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicLong;
import ruvek.LineEvent.Type;
import ruvek.PortWatchListener;
import ruvek.PortWatcher;
import ruvek.SerialLine;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;

/**
 * Usage: EventBench MODE PORT PEER COUNT, printing "MODE jvm VALUES".
 * event-wake: µs from the far end's write to the data event's callback,
 * median, 99th percentile and maximum of COUNT; event-idle: for COUNT ms, the
 * CPU of the line's event thread with a listener for every type the device
 * has and of a port watcher's thread together, as % of one core, then the
 * whole process's.
 */
public final class EventBench {
    private EventBench() {}

    static double[] wake(SerialLine line, FileOutputStream peer, int count, boolean paced) throws Exception {
        AtomicLong sentAt = new AtomicLong();
        Semaphore told = new Semaphore(0);
        double[] us = new double[count];
        int[] i = {0};
        InputStream in = line.getInputStream();
        byte[] buf = new byte[64];
        line.listen(EnumSet.of(Type.DATA_AVAILABLE), e -> {
            long now = System.nanoTime();
            try {
                in.read(buf); // what came, so that the next arrival is told
            } catch (Exception x) {
                throw new IllegalStateException(x);
            }
            if (i[0] < count)
                us[i[0]++] = (now - sentAt.get()) / 1000.0;
            told.release();
        });
        Random gaps = new Random(7);
        for (int k = 0; k < count; k++) {
            if (paced)
                Thread.sleep(5 + gaps.nextInt(20)); // long enough for the event thread to be parked
            sentAt.set(System.nanoTime());
            peer.write('w');
            told.acquire();
        }
        return us; // the line's close ends the listening
    }

    public static void main(String[] args) throws Exception {
        String mode = args[0];
        int number = Integer.parseInt(args[1]);
        long count = Long.parseLong(args[3]);
        String result;
        switch (mode) {
            case "event-wake": {
                double[] us;
                try (FileOutputStream peer = new FileOutputStream(args[2])) {
                    try (SerialLine warm = SerialLine.open(number, 115200)) {
                        wake(warm, peer, 3000, false); // the JIT compiles the event path
                    }
                    try (SerialLine line = SerialLine.open(number, 115200)) {
                        us = wake(line, peer, (int) count, true);
                    }
                }
                Arrays.sort(us);
                result = String.format("%.1f %.1f %.1f us", us[us.length / 2], us[(int) (us.length * 0.99)], us[us.length - 1]);
                break;
            }
            case "event-idle":
                result = idle(number, count);
                break;
            default:
                throw new IllegalArgumentException(mode);
        }
        System.out.printf("%s jvm %s%n", mode, result);
        System.exit(0);
    }

    static Thread named(String prefix) {
        return Thread.getAllStackTraces().keySet().stream().filter(t -> t.getName().startsWith(prefix)).findFirst()
                .orElseThrow(() -> new IllegalStateException("no thread " + prefix));
    }

    /** The event thread's CPU over ms, and the process's, each as % of one core. */
    static String idle(int number, long ms) throws Exception {
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        PortWatchListener quiet = new PortWatchListener() {
            @Override
            public void added(SerialPortInfo port) {}

            @Override
            public void removed(SerialPortInfo port) {}
        };
        try (SerialLine line = SerialLine.open(number, 115200); PortWatcher watcher = SerialPorts.watch(quiet)) {
            EnumSet<Type> types = EnumSet.allOf(Type.class);
            types.remove(Type.MESSAGE);
            try {
                line.listen(types, e -> {});
            } catch (ruvek.SerialPortException noModemLines) {
                types.removeAll(EnumSet.of(Type.CTS, Type.DSR, Type.RI, Type.DCD));
                line.listen(types, e -> {});
            }
            Thread.sleep(500); // into the steady wait
            if (!watcher.isActive())
                throw new IllegalStateException("the watcher ended: " + watcher);
            Thread events = named("ruvek events "), watching = named("ruvek port watcher");
            long threadBefore = mx.getThreadCpuTime(events.getId()) + mx.getThreadCpuTime(watching.getId());
            long processBefore = os.getProcessCpuTime();
            long start = System.nanoTime();
            Thread.sleep(ms);
            long wall = System.nanoTime() - start;
            double thread = 100.0 * (mx.getThreadCpuTime(events.getId()) + mx.getThreadCpuTime(watching.getId())
                    - threadBefore) / wall;
            double process = 100.0 * (os.getProcessCpuTime() - processBefore) / wall;
            return String.format("%.4f %.4f %% %s", thread, process, types.size() == 10 ? "all" : "no-modem-lines");
        }
    }
}
