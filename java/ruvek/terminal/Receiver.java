// The terminal's receiving side: the port's bytes to standard output, as they are or as a hex dump.
package ruvek.terminal;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.SocketTimeoutException;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;

/** Reads the port and writes what arrives, until told to finish. */
final class Receiver extends Thread {
    /** How long the port is quiet before a short hex line is shown: longer than a gap within one burst. */
    static final long HEX_QUIET_MS = 100;

    private final SerialLine line;
    private final OutputStream out;
    private final HexDump hex;
    private volatile boolean stop;
    private volatile long lastByteNanos = System.nanoTime();

    /** With {@code hex}, writes a hex dump instead of the bytes. */
    Receiver(SerialLine line, OutputStream out, boolean hex) {
        super("serial receiver");
        this.line = line;
        this.out = out;
        this.hex = hex ? new HexDump(out) : null;
        setDaemon(true);
    }

    @Override
    public void run() {
        InputStream in = line.getInputStream();
        line.setReadTimeout(20);
        byte[] buf = new byte[4096];
        try {
            while (!stop) {
                int n;
                try {
                    n = in.read(buf);
                } catch (SocketTimeoutException quiet) {
                    if (hex != null && hex.holding()
                            && System.nanoTime() - lastByteNanos >= HEX_QUIET_MS * 1_000_000L)
                        hex.flush();
                    out.flush();
                    continue;
                }
                if (n < 0)
                    break; // a line's stream never ends, but a spin here would cost a core
                lastByteNanos = System.nanoTime();
                if (hex == null) {
                    out.write(buf, 0, n);
                } else {
                    for (int k = 0; k < n; k++)
                        hex.write(buf[k] & 0xFF);
                }
            }
            if (hex != null)
                hex.flush();
            out.flush();
        } catch (PortDisconnectedException e) {
            try {
                if (hex != null)
                    hex.flush();
                out.flush();
            } catch (IOException ignored) {
                // standard output closed: the error below is what matters
            }
            System.err.println(e.getMessage());
            System.exit(1); // the shutdown hook gives a raw tty back
        } catch (IOException e) {
            // standard output closed, or the line closed as told to stop: nothing left to show
        }
    }

    /** Waits until nothing has arrived for lingerMs, then stops the thread. */
    void finish(long lingerMs) throws InterruptedException {
        long start = System.nanoTime();
        long quiet = lingerMs * 1_000_000L;
        while (isAlive()) {
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
