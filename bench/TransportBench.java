// SerialLine over its in-memory pair and raw TCP: a one-byte round trip and bulk, each measured in one process.
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.Arrays;
import ruvek.LinePair;
import ruvek.LineSettings;
import ruvek.SerialLine;

/**
 * Usage: TransportBench MODE COUNT [URL], printing "MODE jvm VALUE UNIT".
 * pair-rtt, tcp-rtt: the median µs of COUNT one-byte round trips through an
 * echo (the pair's second end, or a loopback server's thread); pair-bulk,
 * tcp-bulk: MB/s of COUNT bytes one way in 64 KiB writes, read in 64 KiB reads.
 * url-rtt, url-bulk: the same through URL, whose far end echoes: the bulk's
 * bytes are written on one thread and read back on another.
 */
public final class TransportBench {
    private TransportBench() {}

    /** Echoes what in gives to out until it ends; on a daemon thread. */
    static void echo(InputStream in, OutputStream out) {
        Thread t = new Thread(() -> {
            byte[] b = new byte[65536];
            try {
                for (int n; (n = in.read(b)) > 0; )
                    out.write(b, 0, n);
            } catch (Exception e) {
                // the run is over
            }
        });
        t.setDaemon(true);
        t.start();
    }

    /** Drains what in gives, counting nothing; on a daemon thread. */
    static void sink(InputStream in) {
        Thread t = new Thread(() -> {
            byte[] b = new byte[65536];
            try {
                while (in.read(b) > 0) {
                    // drained
                }
            } catch (Exception e) {
                // the run is over
            }
        });
        t.setDaemon(true);
        t.start();
    }

    static double rtt(SerialLine line, int count) throws Exception {
        InputStream in = line.getInputStream();
        OutputStream out = line.getOutputStream();
        double[] us = new double[count];
        for (int i = 0; i < count; i++) {
            long start = System.nanoTime();
            out.write(i);
            in.read();
            us[i] = (System.nanoTime() - start) / 1000.0;
        }
        Arrays.sort(us);
        return us[count / 2];
    }

    static double bulk(SerialLine line, long total) throws Exception {
        byte[] b = new byte[65536];
        OutputStream out = line.getOutputStream();
        long start = System.nanoTime();
        for (long sent = 0; sent < total; sent += b.length)
            out.write(b);
        line.drain();
        return total / ((System.nanoTime() - start) / 1e9) / 1e6;
    }

    /** MB/s of total bytes sent and read back through an echoing far end. */
    static double echoBulk(SerialLine line, long total) throws Exception {
        byte[] b = new byte[65536];
        Thread writer = new Thread(() -> {
            try {
                for (long sent = 0; sent < total; sent += b.length)
                    line.getOutputStream().write(b, 0, (int) Math.min(b.length, total - sent));
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        long start = System.nanoTime();
        writer.start();
        byte[] in = new byte[65536];
        for (long got = 0; got < total; )
            got += line.getInputStream().read(in);
        writer.join();
        return total / ((System.nanoTime() - start) / 1e9) / 1e6;
    }

    public static void main(String[] args) throws Exception {
        String mode = args[0];
        long count = Long.parseLong(args[1]);
        if (mode.startsWith("url-")) {
            double v;
            try (SerialLine line = SerialLine.open(args[2], 115200)) {
                line.setReadTimeout(30_000);
                if (mode.equals("url-rtt")) {
                    rtt(line, (int) count / 2);
                    v = rtt(line, (int) count);
                } else {
                    echoBulk(line, count / 4);
                    v = echoBulk(line, count);
                }
            }
            System.out.printf("%s jvm %.2f %s%n", mode, v, mode.equals("url-rtt") ? "us" : "MB/s");
            System.exit(0);
        }
        boolean tcp = mode.startsWith("tcp");
        boolean round = mode.endsWith("rtt");
        double value;
        ServerSocket server = tcp ? new ServerSocket(0, 1, InetAddress.getLoopbackAddress()) : null;
        LinePair pair = tcp ? null : LinePair.open(LineSettings.of(115200));
        if (tcp) {
            Thread accept = new Thread(() -> {
                try {
                    Socket s = server.accept();
                    s.setTcpNoDelay(true);
                    if (round)
                        echo(s.getInputStream(), s.getOutputStream());
                    else
                        sink(s.getInputStream());
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            accept.setDaemon(true);
            accept.start();
        } else if (round) {
            echo(pair.second().getInputStream(), pair.second().getOutputStream());
        } else {
            sink(pair.second().getInputStream());
        }
        try (SerialLine line = tcp ? SerialLine.open("socket://127.0.0.1:" + server.getLocalPort(), 115200)
                : pair.first()) {
            if (round) {
                rtt(line, (int) count / 2); // the JIT compiles the path
                value = rtt(line, (int) count);
            } else {
                bulk(line, count / 4);
                value = bulk(line, count);
            }
        }
        System.out.printf("%s jvm %.2f %s%n", mode, value, round ? "us" : "MB/s");
        System.exit(0);
    }
}
