// The JVM side of scripts/bench: each call path through SerialPort and SerialLine, timed.
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.Arrays;
import java.util.Random;
import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;
import ruvek.SerialLine;

/**
 * The per-call cost of recc and send through the JNI from a warmed-up JVM,
 * and echo throughput, measured like native_bench measures its floor.
 *
 * <p>usage: java -Djava.library.path=build/linux Bench MODE PORT PEER COUNT,
 * MODE one of recc-empty, recc-waiting, send, echo, receive (bytes per
 * second through recc while another process writes the far end as fast as
 * it can), and for reference
 * jni-noop (an empty native call) and jni-read (read(2) on PEER, here our end
 * of another null-modem, through a bare native). Prints "MODE jvm VALUE UNIT".
 *
 * <p>Through ruvek.SerialLine: stream-read and stream-write, the streams'
 * per-byte cost; line-idle, the CPU a read blocked for COUNT ms uses; line-wake,
 * the time from a byte's write at PEER until a blocked read returns it, over
 * COUNT bytes, printed as median, 99th percentile and maximum in µs. Their
 * floors, raw-idle and raw-wake, block in read(2) on OURS, the device itself;
 * park-idle is a thread that only parks, 600 µs at a time, for COUNT ms.
 * line-close: ms from close() to the exception of a read blocked on another
 * thread, the median of COUNT lines, then the process's first close alone; line-recv and line-send: bytes per second
 * through the streams in 64 KiB arrays, COUNT bytes, while the far end writes
 * or drains; line-rtt: the median µs for one byte to go out and come back
 * through an echoing far end, over COUNT round trips.
 */
public final class Bench {
    static final int ROUNDS = 15;
    static final SerialPort port = new SerialPort();
    /** What a waiting SerialLine read parks between polls, for the park-idle reference. */
    static final long PARK_NANOS = 600_000;

    /** Does nothing, natively: the cost of the JNI transition alone. */
    native int noop();

    /** A descriptor of the device at path, opened as the library opens it. */
    static native int rawOpen(String path);

    /** One read(2) of one byte: the system call from inside the JVM. */
    native int rawRead(int fd);

    private Bench() {}

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    static double reccEmpty(long count) {
        double[] rounds = new double[ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            long sum = 0;
            long start = System.nanoTime();
            for (long i = 0; i < count; i++)
                sum += port.recc();
            rounds[r] = (System.nanoTime() - start) / (double) count;
            if (sum != -count)
                throw new IllegalStateException("a byte arrived while none was sent");
        }
        return median(rounds);
    }

    /** An empty native call, or with a device path a bare read(2) through JNI. */
    static double reference(String device, long count) {
        System.loadLibrary("bench_noop");
        Bench bench = new Bench();
        int fd = device == null ? -1 : rawOpen(device);
        if (device != null && fd < 0)
            throw new IllegalStateException("cannot open " + device);
        double[] rounds = new double[ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            long sum = 0;
            long start = System.nanoTime();
            for (long i = 0; i < count; i++)
                sum += fd < 0 ? bench.noop() : bench.rawRead(fd);
            rounds[r] = (System.nanoTime() - start) / (double) count;
            if (sum != -count)
                throw new IllegalStateException("a byte arrived while none was sent");
        }
        return median(rounds);
    }

    static double reccWaiting(FileOutputStream peer, long count) throws Exception {
        final int batch = 4000;
        byte[] bytes = new byte[batch];
        Arrays.fill(bytes, (byte) 'w');
        double[] rounds = new double[ROUNDS];
        int valid = 0;
        for (int tries = 0; valid < ROUNDS && tries < ROUNDS * 4; tries++) {
            double ns = 0;
            long got = 0;
            long calls = 0;
            while (calls < count) {
                peer.write(bytes);
                Thread.sleep(30);
                long start = System.nanoTime();
                for (int i = 0; i < batch; i++)
                    if (port.recc() >= 0)
                        got++;
                ns += System.nanoTime() - start;
                calls += batch;
                while (port.recc() >= 0) {
                    // late bytes: this round does not count
                }
            }
            if (got == calls)
                rounds[valid++] = ns / calls;
        }
        if (valid < ROUNDS / 2)
            throw new IllegalStateException("bytes kept arriving late");
        return median(Arrays.copyOf(rounds, valid));
    }

    /** The far end is drained by another process, the same for every side measured. */
    static double send(long count) {
        double[] rounds = new double[ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            long start = System.nanoTime();
            for (long i = 0; i < count; i++)
                if (!port.send((int) i))
                    throw new IllegalStateException("send failed");
            rounds[r] = (System.nanoTime() - start) / (double) count;
        }
        return median(rounds);
    }

    static double echo(long total) {
        final int window = 64;
        long start = System.nanoTime();
        for (long done = 0; done < total; done += window) {
            for (int i = 0; i < window; i++)
                if (!port.send((int) (done + i)))
                    throw new IllegalStateException("send failed");
            for (int i = 0; i < window; ) {
                int b = port.recc();
                if (b < 0)
                    continue;
                if (b != (int) ((done + i) & 0xFF))
                    throw new IllegalStateException("echo changed byte " + (done + i));
                i++;
            }
        }
        return total / ((System.nanoTime() - start) / 1e9);
    }

    /** A byte at a time through the line's InputStream, with bytes waiting. */
    static double streamRead(InputStream in, FileOutputStream peer, long count) throws Exception {
        final int batch = 4000;
        byte[] bytes = new byte[batch];
        Arrays.fill(bytes, (byte) 'w');
        double[] rounds = new double[ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            double ns = 0;
            for (long calls = 0; calls < count; calls += batch) {
                peer.write(bytes);
                Thread.sleep(30);
                long start = System.nanoTime();
                for (int i = 0; i < batch; i++)
                    if (in.read() < 0)
                        throw new IllegalStateException("end of stream");
                ns += System.nanoTime() - start;
            }
            rounds[r] = ns / count;
        }
        return median(rounds);
    }

    static double streamWrite(OutputStream out, long count) throws Exception {
        double[] rounds = new double[ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            long start = System.nanoTime();
            for (long i = 0; i < count; i++)
                out.write((int) i);
            rounds[r] = (System.nanoTime() - start) / (double) count;
        }
        return median(rounds);
    }

    /**
     * The CPU, in % of one core, of a thread blocked in a read for the given
     * time; with no stream, of a thread that only parks as a waiting read does.
     */
    static double idle(InputStream in, long millis) throws Exception {
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        Thread reader = new Thread(() -> {
            try {
                if (in == null)
                    for (;;)
                        LockSupport.parkNanos(PARK_NANOS);
                in.read();
            } catch (Exception e) {
                // closed at the end
            }
        });
        reader.setDaemon(true);
        reader.start();
        Thread.sleep(200); // past the spin, into the steady wait
        long cpu = mx.getThreadCpuTime(reader.getId());
        long start = System.nanoTime();
        Thread.sleep(millis);
        double used = mx.getThreadCpuTime(reader.getId()) - cpu;
        double percent = 100 * used / (System.nanoTime() - start);
        if (!reader.isAlive())
            throw new IllegalStateException("a byte arrived while none was sent");
        return percent;
    }

    /** Wake-up latencies in µs: median, 99th percentile, maximum. */
    /**
     * Takes n bytes a read at a time as the far end sends them, so that the
     * path a wake-up takes runs compiled, as in a program that has run a while.
     */
    static void warm(InputStream in, FileOutputStream peer, int n) throws Exception {
        byte[] batch = new byte[1000];
        for (int sent = 0; sent < n; sent += batch.length) {
            peer.write(batch);
            for (int i = 0; i < batch.length; i++)
                in.read();
        }
    }

    static double[] wake(InputStream in, FileOutputStream peer, int count) throws Exception {
        AtomicLong sentAt = new AtomicLong();
        Semaphore got = new Semaphore(0);
        double[] us = new double[count];
        Thread reader = new Thread(() -> {
            try {
                for (int i = 0; i < count; i++) {
                    in.read();
                    us[i] = (System.nanoTime() - sentAt.get()) / 1000.0;
                    got.release();
                }
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        reader.setDaemon(true);
        reader.start();
        Random gaps = new Random(7);
        for (int i = 0; i < count; i++) {
            Thread.sleep(5 + gaps.nextInt(20)); // long enough for the reader to be parked
            sentAt.set(System.nanoTime());
            peer.write('w');
            got.acquire();
        }
        Arrays.sort(us);
        return new double[] {us[count / 2], us[(int) (count * 0.99)], us[count - 1]};
    }

    /** The median ms from close() to the exception of a read blocked on another thread, over count lines. */
    static double closeEndsRead(int number, int count) throws Exception {
        double[] ms = new double[count];
        for (int i = 0; i < count; i++) {
            SerialLine line = SerialLine.open(number, 115200);
            AtomicLong endedAt = new AtomicLong();
            Thread reader = new Thread(() -> {
                try {
                    line.getInputStream().read();
                    System.err.println("a byte arrived while none was sent");
                    System.exit(1);
                } catch (java.io.IOException e) {
                    endedAt.set(System.nanoTime());
                }
            });
            reader.start();
            Thread.sleep(100); // into the read's wait
            long start = System.nanoTime();
            line.close();
            reader.join(10_000);
            if (reader.isAlive())
                throw new IllegalStateException("close left a read blocked for 10 s");
            ms[i] = (endedAt.get() - start) / 1e6;
        }
        return median(ms);
    }

    static double bulkRead(InputStream in, long total) throws Exception {
        byte[] buffer = new byte[65536];
        long start = System.nanoTime();
        for (long got = 0; got < total; )
            got += in.read(buffer);
        return total / ((System.nanoTime() - start) / 1e9);
    }

    static double bulkWrite(OutputStream out, long total) throws Exception {
        byte[] buffer = new byte[65536];
        Arrays.fill(buffer, (byte) 's');
        long start = System.nanoTime();
        for (long sent = 0; sent < total; sent += buffer.length)
            out.write(buffer, 0, (int) Math.min(buffer.length, total - sent));
        return total / ((System.nanoTime() - start) / 1e9);
    }

    /** The median µs of count one-byte round trips through an echoing far end. */
    static double roundTrip(InputStream in, OutputStream out, int count) throws Exception {
        double[] us = new double[count];
        for (int i = 0; i < count; i++) {
            long start = System.nanoTime();
            out.write(i);
            int b = in.read();
            us[i] = (System.nanoTime() - start) / 1000.0;
            if (b != (i & 0xFF))
                throw new IllegalStateException("the echo changed round trip " + i);
        }
        return median(us);
    }

    /** The modes over ruvek.SerialLine, and their floors on the device itself. */
    static void line(String mode, int number, String peerPath, long count, String oursPath) throws Exception {
        String result;
        if (mode.equals("park-idle")) {
            System.out.printf("%s jvm %.3f %%%n", mode, idle(null, count));
            System.exit(0);
        }
        if (mode.equals("line-close")) {
            double first = closeEndsRead(number, 1); // the process's first close: nothing warmed up
            closeEndsRead(number, 3); // warm-up
            System.out.printf("%s jvm %.3f %.3f ms%n", mode, closeEndsRead(number, (int) count), first);
            System.exit(0);
        }
        try (SerialLine line = mode.startsWith("raw") ? null : SerialLine.open(number, 115200);
                InputStream in = line != null ? line.getInputStream() : new FileInputStream(oursPath)) {
            switch (mode) {
                case "stream-read":
                    try (FileOutputStream peer = new FileOutputStream(peerPath)) {
                        streamRead(in, peer, count / 10);
                        result = String.format("%.1f ns", streamRead(in, peer, count));
                    }
                    break;
                case "stream-write":
                    streamWrite(line.getOutputStream(), count / 10);
                    result = String.format("%.1f ns", streamWrite(line.getOutputStream(), count));
                    break;
                case "line-idle":
                case "raw-idle":
                    result = String.format("%.3f %%", idle(in, count));
                    break;
                case "line-wake":
                case "raw-wake":
                    try (FileOutputStream peer = new FileOutputStream(peerPath)) {
                        warm(in, peer, 20000);
                        wake(in, peer, 50);
                        double[] w = wake(in, peer, (int) count);
                        result = String.format("%.1f %.1f %.1f us", w[0], w[1], w[2]);
                    }
                    break;
                case "line-recv":
                    bulkRead(in, count / 4);
                    result = String.format("%.1f B/s", bulkRead(in, count));
                    break;
                case "line-send":
                    bulkWrite(line.getOutputStream(), count / 4);
                    result = String.format("%.1f B/s", bulkWrite(line.getOutputStream(), count));
                    break;
                case "line-rtt":
                    roundTrip(in, line.getOutputStream(), (int) count / 4);
                    result = String.format("%.1f us", roundTrip(in, line.getOutputStream(), (int) count));
                    break;
                default:
                    throw new IllegalArgumentException(mode);
            }
        }
        System.out.printf("%s jvm %s%n", mode, result);
        System.exit(0);
    }

    static double receive(long total) {
        long start = System.nanoTime();
        for (long got = 0; got < total; )
            if (port.recc() >= 0)
                got++;
        return total / ((System.nanoTime() - start) / 1e9);
    }

    static double run(String mode, String peerPath, long count) throws Exception {
        switch (mode) {
            case "recc-empty":
                return reccEmpty(count);
            case "jni-noop":
                return reference(null, count);
            case "jni-read":
                return reference(peerPath, count);
            case "recc-waiting":
                try (FileOutputStream peer = new FileOutputStream(peerPath)) {
                    return reccWaiting(peer, count);
                }
            case "send":
                return send(count);
            case "echo":
                return echo(count);
            case "receive":
                return receive(count);
            default:
                throw new IllegalArgumentException(mode);
        }
    }

    public static void main(String[] args) throws Exception {
        String mode = args[0];
        int number = Integer.parseInt(args[1]);
        long count = Long.parseLong(args[3]);
        if (mode.startsWith("stream-") || mode.startsWith("line-") || mode.startsWith("raw-") || mode.equals("park-idle"))
            line(mode, number, args[2], count, args.length > 4 ? args[4] : null);
        if (!port.init(number, 115200))
            throw new IllegalStateException("cannot open COM" + number);
        // Warm up: the JIT compiles the loops and the native calls' stubs.
        run(mode, args[2], mode.equals("echo") ? count / 4 : count / 10);
        double value = run(mode, args[2], count);
        port.close();
        System.out.printf("%s jvm %.1f %s%n", mode, value, mode.equals("echo") || mode.equals("receive") ? "B/s" : "ns");
        System.exit(0);
    }
}
