// An application that uses nothing of ruvek but its named API, on the class path or the module path.
package com.example.app;

import java.io.IOException;
import java.io.InputStream;
import java.net.SocketTimeoutException;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import ruvek.SerialLine;
import ruvek.SerialPortException;

/**
 * Opens both ends of two null-modems at once, by their paths: echoes every
 * byte value both ways on each, times a read out, and closes lines from
 * another thread during a blocked read and a blocked write. Prints one line
 * per check and exits 0 when all pass.
 * Usage: LineCheck A1 B1 A2 B2, each pair the two ends of one null-modem.
 */
public final class LineCheck {
    private LineCheck() {}

    public static void main(String[] args) throws Exception {
        SerialLine[] lines = new SerialLine[4];
        for (int i = 0; i < 4; i++)
            lines[i] = SerialLine.open(args[i], 115200);
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        for (int pair = 0; pair < 4; pair += 2) {
            for (int way = 0; way < 2; way++) {
                SerialLine from = lines[pair + way], to = lines[pair + 1 - way];
                from.getOutputStream().write(all);
                check(Arrays.equals(all, readFully(to.getInputStream(), 256)), "256 values from " + from.device());
            }
        }

        SerialLine a = lines[0];
        a.setReadTimeout(200);
        long start = System.nanoTime();
        try {
            a.getInputStream().read();
            check(false, "a read with nothing sent times out");
        } catch (SocketTimeoutException e) {
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            // Bounded only against a hang: a loaded machine may be slow to wake the reader.
            check(ms >= 200 && ms < 20_000, "a read with nothing sent times out after " + ms + " ms");
        }
        a.setReadTimeout(0);

        CompletableFuture<IOException> read = failure(() -> a.getInputStream().read());
        Thread.sleep(200);
        check(!read.isDone(), "a read waits while nothing arrives");
        long closing = System.nanoTime();
        a.close();
        check(read.get(20, TimeUnit.SECONDS) instanceof SerialPortException, "close ends a blocked read");
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - closing);
        check(ms < 20_000, "close ended the blocked read in " + ms + " ms");

        // Nobody reads the far end of the second null-modem: a mebibyte fills it.
        SerialLine c = lines[2];
        CompletableFuture<IOException> write = failure(() -> c.getOutputStream().write(new byte[1 << 20]));
        Thread.sleep(300);
        check(!write.isDone(), "a write waits while the far end reads nothing");
        c.close();
        check(write.get(20, TimeUnit.SECONDS) instanceof SerialPortException, "close ends a blocked write");

        for (SerialLine line : lines)
            line.close();
        System.out.println("all checks passed");
    }

    interface Io {
        void run() throws IOException;
    }

    /** What the call throws, on another thread; null when it returns. */
    private static CompletableFuture<IOException> failure(Io call) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                call.run();
                return null;
            } catch (IOException e) {
                return e;
            }
        });
    }

    private static byte[] readFully(InputStream in, int n) throws IOException {
        byte[] b = new byte[n];
        for (int got = 0; got < n; )
            got += in.read(b, got, n - got);
        return b;
    }

    private static void check(boolean ok, String what) {
        System.out.println((ok ? "ok: " : "FAILED: ") + what);
        if (!ok)
            System.exit(1);
    }
}
