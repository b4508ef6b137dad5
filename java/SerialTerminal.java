import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * A small serial terminal: copies standard input to the port with
 * {@code send} and the port to standard output with {@code recc}. At the end
 * of input it keeps listening until the port has been quiet for a while, so
 * that replies still arrive, then closes the port and exits.
 */
public final class SerialTerminal {
    private static final String USAGE = "usage: java -jar ruvek.jar [--hex] [--linger MS] PORT BAUD\n"
            + "  PORT     port number: 1 is COM1\n"
            + "  BAUD     bits per second, e.g. 9600\n"
            + "  --hex    show received bytes in hex instead of as they are\n"
            + "  --linger after the end of input, wait until the port is quiet for MS ms (default 500)";

    /** The longest linger that still counts in nanoseconds: about 292 years. */
    private static final long MAX_LINGER_MS = Long.MAX_VALUE / 1_000_000L;

    private SerialTerminal() {}

    public static void main(String[] args) throws Exception {
        boolean hex = false;
        long lingerMs = 500;
        int i = 0;
        try {
            for (; i < args.length && args[i].startsWith("--"); i++) {
                if (args[i].equals("--hex")) {
                    hex = true;
                } else if (args[i].equals("--linger") && i + 1 < args.length) {
                    lingerMs = Math.min(Long.parseLong(args[++i]), MAX_LINGER_MS);
                } else {
                    throw new IllegalArgumentException(args[i]);
                }
            }
            if (args.length - i != 2 || lingerMs < 0) {
                throw new IllegalArgumentException();
            }
            Integer.parseInt(args[i]);
            if (Integer.parseInt(args[i + 1]) < 0) {
                throw new IllegalArgumentException("negative baud rate");
            }
        } catch (IllegalArgumentException e) {
            System.err.println(USAGE);
            System.exit(2);
        }
        int number = Integer.parseInt(args[i]);
        int baud = Integer.parseInt(args[i + 1]);

        SerialPort port = new SerialPort();
        if (!port.init(number, baud)) {
            System.err.println("cannot open COM" + number + " at " + baud + " baud");
            System.exit(1);
        }
        Receiver receiver = new Receiver(port, new BufferedOutputStream(System.out), hex);
        receiver.start();
        boolean sent = stdinIsOurOwnFile() || copy(System.in, port);
        receiver.finish(lingerMs);
        port.close();
        if (!sent) {
            System.err.println("writing to COM" + number + " failed");
            System.exit(1);
        }
    }

    /**
     * Started with standard input closed, the JVM reuses descriptor 0 for a
     * file of its own (its module image); that is no input to send. Linux
     * shows where descriptor 0 leads; elsewhere this says false.
     */
    private static boolean stdinIsOurOwnFile() {
        try {
            Path target = Files.readSymbolicLink(Paths.get("/proc/self/fd/0"));
            return target.isAbsolute()
                    && target.toRealPath().startsWith(Paths.get(System.getProperty("java.home")).toRealPath());
        } catch (IOException | UnsupportedOperationException | SecurityException e) {
            return false;
        }
    }

    private static boolean copy(InputStream in, SerialPort port) throws IOException {
        byte[] buf = new byte[4096];
        for (int n; (n = in.read(buf)) > 0; ) {
            for (int k = 0; k < n; k++) {
                if (!port.send(buf[k])) {
                    return false;
                }
            }
        }
        return true;
    }

    /** Polls the port and writes what arrives, until told to finish. */
    private static final class Receiver extends Thread {
        private final SerialPort port;
        private final OutputStream out;
        private final boolean hex;
        private volatile boolean stop;
        private volatile long lastByteNanos = System.nanoTime();
        private long count;

        Receiver(SerialPort port, OutputStream out, boolean hex) {
            super("serial receiver");
            this.port = port;
            this.out = out;
            this.hex = hex;
            setDaemon(true);
        }

        @Override
        public void run() {
            try {
                boolean pending = false;
                while (!stop) {
                    int b = port.recc();
                    if (b >= 0) {
                        lastByteNanos = System.nanoTime();
                        write(b);
                        pending = true;
                    } else {
                        if (pending) {
                            out.flush();
                            pending = false;
                        }
                        Thread.sleep(1);
                    }
                }
                if (hex && count > 0) {
                    out.write('\n');
                }
                out.flush();
            } catch (IOException | InterruptedException e) {
                // standard output closed, or told to stop: nothing left to show
            }
        }

        private void write(int b) throws IOException {
            if (!hex) {
                out.write(b);
                return;
            }
            if (count > 0) {
                out.write(count % 16 == 0 ? '\n' : ' ');
            }
            String digits = Integer.toHexString(0x100 | b).substring(1);
            out.write(digits.charAt(0));
            out.write(digits.charAt(1));
            count++;
        }

        /** Waits until nothing has arrived for lingerMs, then stops the thread. */
        void finish(long lingerMs) throws InterruptedException {
            long start = System.nanoTime();
            long quiet = lingerMs * 1_000_000L;
            while (true) {
                long since = System.nanoTime() - Math.max(start, lastByteNanos);
                if (since >= quiet) {
                    break;
                }
                Thread.sleep(Math.max(1, (quiet - since) / 1_000_000L));
            }
            stop = true;
            join();
        }
    }
}
