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

    public static void main(String[] args) throws Exception {
        String library = args[0];
        String mode = args[1];
        long count = Long.parseLong(args[4]);
        Poll port = library.equals("rxtx") ? rxtx(args[2]) : jssc(args[2]);
        run(port, mode, args[3], count / 10); // warm-up, as in Bench
        double value = run(port, mode, args[3], count);
        opened.close();
        System.out.printf("%s %s %.1f %s%n", mode, library, value, mode.equals("receive") ? "B/s" : "ns");
        System.exit(0);
    }
}
