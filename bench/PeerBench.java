// The JVM side of scripts/bench for the peers: the same polls through RXTX and jSSC.
import java.io.FileOutputStream;
import java.io.InputStream;
import java.util.Arrays;

/**
 * The same polls as Bench, made through two other serial libraries for Java,
 * each the way a caller polls with it: RXTX ({@code available()}, then
 * {@code read()} when it counts a byte) and jSSC
 * ({@code getInputBufferBytesCount()}, then {@code readBytes(1)}).
 *
 * <p>usage: java PeerBench rxtx|jssc MODE DEVICE PEER COUNT, MODE one of
 * recc-empty, recc-waiting, receive (as in Bench); DEVICE our end of the
 * null-modem, PEER its far end. Prints "MODE LIBRARY VALUE UNIT".
 *
 * <p>jSSC waiting for bytes, in its two ways of waiting: {@code readBytes(n)}
 * and, with a MODE ending in -timed, {@code readBytes(n, timeout)}. MODE one
 * of idle (CPU % of one core of a read blocked for COUNT ms), wake (µs from a
 * byte's write at PEER to the blocked read's return over COUNT bytes: median,
 * 99th percentile, maximum), close (ms from closePort() to the end of a read
 * blocked on another thread, the median of COUNT; "never" when one was still
 * blocked after 2 s), rtt (the median µs of COUNT one-byte round trips through
 * an echoing far end), and recv and send (bytes per second in 64 KiB
 * readBytes and writeBytes, COUNT bytes, while the far end writes or drains).
 * RXTX too in recv and send, through its streams.
 */
public final class PeerBench {
    static final int ROUNDS = 15;
    /** Closes the port opened, so that RXTX removes its lock file. */
    static AutoCloseable opened;

    interface Poll {
        /** One received byte, or -1 at once when none is waiting. */
        int recc() throws Exception;
    }

    static Poll rxtx(String device) throws Exception {
        gnu.io.SerialPort port = (gnu.io.SerialPort) gnu.io.CommPortIdentifier.getPortIdentifier(device)
                .open("PeerBench", 2000);
        port.setSerialPortParams(115200, gnu.io.SerialPort.DATABITS_8, gnu.io.SerialPort.STOPBITS_1,
                gnu.io.SerialPort.PARITY_NONE);
        port.setFlowControlMode(gnu.io.SerialPort.FLOWCONTROL_NONE);
        opened = port::close;
        InputStream in = port.getInputStream();
        return () -> in.available() > 0 ? in.read() : -1;
    }

    static Poll jssc(String device) throws Exception {
        jssc.SerialPort port = new jssc.SerialPort(device);
        if (!port.openPort())
            throw new IllegalStateException("cannot open " + device);
        opened = port::closePort;
        // On a pty this reports failure for the modem lines, after the line settings took.
        port.setParams(115200, 8, 1, 0);
        return () -> port.getInputBufferBytesCount() > 0 ? port.readBytes(1)[0] & 0xFF : -1;
    }

    /** Waits for n bytes as jSSC's callers do, timed or not. */
    static byte[] take(jssc.SerialPort port, int n, boolean timed) throws Exception {
        return timed ? port.readBytes(n, 3_600_000) : port.readBytes(n);
    }

    static jssc.SerialPort openJssc(String device) throws Exception {
        jssc.SerialPort port = new jssc.SerialPort(device);
        if (!port.openPort())
            throw new IllegalStateException("cannot open " + device);
        port.setParams(115200, 8, 1, 0);
        return port;
    }

    static String jsscLine(String mode, String device, String peerPath, long count) throws Exception {
        boolean timed = mode.endsWith("-timed");
        String what = timed ? mode.substring(0, mode.length() - "-timed".length()) : mode;
        if (what.equals("close"))
            return closeEndsRead(device, (int) count, timed);
        jssc.SerialPort port = openJssc(device);
        try {
            switch (what) {
                case "idle":
                    return String.format("%.3f %%", idle(port, count, timed));
                case "wake":
                    try (FileOutputStream peer = new FileOutputStream(peerPath)) {
                        wake(port, peer, 50, timed);
                        double[] w = wake(port, peer, (int) count, timed);
                        return String.format("%.1f %.1f %.1f us", w[0], w[1], w[2]);
                    }
                case "rtt":
                    roundTrip(port, (int) count / 4, timed);
                    return String.format("%.1f us", roundTrip(port, (int) count, timed));
                case "recv":
                    bulkRead(port, count / 4);
                    return String.format("%.1f B/s", bulkRead(port, count));
                case "send":
                    bulkWrite(port, count / 4);
                    return String.format("%.1f B/s", bulkWrite(port, count));
                default:
                    throw new IllegalArgumentException(mode);
            }
        } finally {
            if (!what.equals("idle")) // its reader is still in the port
                port.closePort();
        }
    }

    static double idle(jssc.SerialPort port, long millis, boolean timed) throws Exception {
        java.lang.management.ThreadMXBean mx = java.lang.management.ManagementFactory.getThreadMXBean();
        Thread reader = new Thread(() -> {
            try {
                take(port, 1, timed);
            } catch (Exception e) {
                return;
            }
            System.err.println("a byte arrived while none was sent");
            System.exit(1);
        });
        reader.setDaemon(true);
        reader.start();
        Thread.sleep(200);
        long cpu = mx.getThreadCpuTime(reader.getId());
        long start = System.nanoTime();
        Thread.sleep(millis);
        double used = mx.getThreadCpuTime(reader.getId()) - cpu;
        return 100 * used / (System.nanoTime() - start);
    }

    /** As Bench.wake: gaps of 5-25 ms, then a byte at the far end, timed to the read's return. */
    static double[] wake(jssc.SerialPort port, FileOutputStream peer, int count, boolean timed) throws Exception {
        java.util.concurrent.atomic.AtomicLong sentAt = new java.util.concurrent.atomic.AtomicLong();
        java.util.concurrent.Semaphore got = new java.util.concurrent.Semaphore(0);
        double[] us = new double[count];
        Thread reader = new Thread(() -> {
            try {
                for (int i = 0; i < count; i++) {
                    take(port, 1, timed);
                    us[i] = (System.nanoTime() - sentAt.get()) / 1000.0;
                    got.release();
                }
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        reader.setDaemon(true);
        reader.start();
        java.util.Random gaps = new java.util.Random(7);
        for (int i = 0; i < count; i++) {
            Thread.sleep(5 + gaps.nextInt(20));
            sentAt.set(System.nanoTime());
            peer.write('w');
            got.acquire();
        }
        Arrays.sort(us);
        return new double[] {us[count / 2], us[(int) (count * 0.99)], us[count - 1]};
    }

    /** The median ms from closePort() to the end of a read blocked on another thread. */
    static String closeEndsRead(String device, int count, boolean timed) throws Exception {
        double[] ms = new double[count];
        for (int i = 0; i < count; i++) {
            jssc.SerialPort port = openJssc(device);
            java.util.concurrent.atomic.AtomicLong endedAt = new java.util.concurrent.atomic.AtomicLong();
            Thread reader = new Thread(() -> {
                try {
                    take(port, 1, timed);
                } catch (Exception e) {
                    // ended by the close, as it should be
                }
                endedAt.set(System.nanoTime());
            });
            reader.setDaemon(true);
            reader.start();
            Thread.sleep(100);
            long start = System.nanoTime();
            port.closePort();
            reader.join(2000);
            if (reader.isAlive())
                return "never ms";
            ms[i] = (endedAt.get() - start) / 1e6;
        }
        return String.format("%.3f ms", median(ms));
    }

    static double roundTrip(jssc.SerialPort port, int count, boolean timed) throws Exception {
        double[] us = new double[count];
        byte[] one = new byte[1];
        for (int i = 0; i < count; i++) {
            one[0] = (byte) i;
            long start = System.nanoTime();
            port.writeBytes(one);
            byte[] back = take(port, 1, timed);
            us[i] = (System.nanoTime() - start) / 1000.0;
            if (back[0] != (byte) i)
                throw new IllegalStateException("the echo changed round trip " + i);
        }
        return median(us);
    }

    static double bulkRead(jssc.SerialPort port, long total) throws Exception {
        long start = System.nanoTime();
        for (long got = 0; got < total; )
            got += port.readBytes(65536).length;
        return total / ((System.nanoTime() - start) / 1e9);
    }

    static double bulkWrite(jssc.SerialPort port, long total) throws Exception {
        byte[] buffer = new byte[65536];
        Arrays.fill(buffer, (byte) 's');
        long start = System.nanoTime();
        for (long sent = 0; sent < total; sent += buffer.length)
            if (!port.writeBytes(sent + buffer.length <= total ? buffer : Arrays.copyOf(buffer, (int) (total - sent))))
                throw new IllegalStateException("writeBytes failed");
        return total / ((System.nanoTime() - start) / 1e9);
    }

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    static double reccEmpty(Poll port, long count) throws Exception {
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

    /** As Bench.reccWaiting: a batch written by the peer, then read back a byte a call. */
    static double reccWaiting(Poll port, FileOutputStream peer, long count) throws Exception {
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

    static double receive(Poll port, long total) throws Exception {
        long start = System.nanoTime();
        for (long got = 0; got < total; )
            if (port.recc() >= 0)
                got++;
        return total / ((System.nanoTime() - start) / 1e9);
    }

    static double run(Poll port, String mode, String peerPath, long count) throws Exception {
        switch (mode) {
            case "recc-empty":
                return reccEmpty(port, count);
            case "recc-waiting":
                try (FileOutputStream peer = new FileOutputStream(peerPath)) {
                    return reccWaiting(port, peer, count);
                }
            case "receive":
                return receive(port, count);
            default:
                throw new IllegalArgumentException(mode);
        }
    }

    /**
     * RXTX's bulk transfers through its streams, in 64 KiB arrays: recv and
     * send as jSSC's. Debian's RXTX crashes the JVM in its native read.
     */
    static String rxtxLine(String mode, String device, long count) throws Exception {
        gnu.io.SerialPort port = (gnu.io.SerialPort) gnu.io.CommPortIdentifier.getPortIdentifier(device)
                .open("PeerBench", 2000);
        try {
            port.setSerialPortParams(115200, gnu.io.SerialPort.DATABITS_8, gnu.io.SerialPort.STOPBITS_1,
                    gnu.io.SerialPort.PARITY_NONE);
            port.setFlowControlMode(gnu.io.SerialPort.FLOWCONTROL_NONE);
            byte[] buffer = new byte[65536];
            long start = System.nanoTime();
            if (mode.equals("recv")) {
                InputStream in = port.getInputStream();
                for (long got = 0; got < count; ) {
                    int n = in.read(buffer);
                    if (n > 0)
                        got += n;
                }
            } else {
                java.io.OutputStream out = port.getOutputStream();
                for (long sent = 0; sent < count; sent += buffer.length)
                    out.write(buffer, 0, (int) Math.min(buffer.length, count - sent));
            }
            return String.format("%.1f B/s", count / ((System.nanoTime() - start) / 1e9));
        } finally {
            port.close();
        }
    }

    public static void main(String[] args) throws Exception {
        String library = args[0];
        String mode = args[1];
        long count = Long.parseLong(args[4]);
        if (library.equals("rxtx") && (mode.equals("recv") || mode.equals("send"))) {
            System.out.printf("%s %s %s%n", mode, library, rxtxLine(mode, args[2], count));
            System.exit(0);
        }
        if (library.equals("jssc") && !mode.startsWith("recc-") && !mode.equals("receive")) {
            System.out.printf("%s %s %s%n", mode, library, jsscLine(mode, args[2], args[3], count));
            System.exit(0);
        }
        Poll port = library.equals("rxtx") ? rxtx(args[2]) : jssc(args[2]);
        run(port, mode, args[3], count / 10); // warm-up, as in Bench
        double value = run(port, mode, args[3], count);
        opened.close();
        System.out.printf("%s %s %.1f %s%n", mode, library, value, mode.equals("receive") ? "B/s" : "ns");
        System.exit(0);
    }
}
