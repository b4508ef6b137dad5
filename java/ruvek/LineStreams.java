// SerialLine's streams: reads that wait in the system and bulk transfers, each in its direction's turn.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;

/** The input and output streams of one {@link SerialLine}, whose turns and closing they follow. */
final class LineStreams {
    /** A read with no time-out still returns this often to see whether its thread was interrupted. */
    private static final int SLICE_MS = 250;

    private final SerialLine line;
    final InputStream in = new In();
    final OutputStream out = new Out();
    private final byte[] oneIn = new byte[1];  // under the line's reading turn
    private final byte[] oneOut = new byte[1]; // under its writing turn

    LineStreams(SerialLine line) {
        this.line = line;
    }

    /** Reads into b, having waited {@code waited} ms for the turn; holds the line's reading turn. */
    private int receive(byte[] b, int off, int len, int waited) throws IOException {
        int timeout = line.readTimeout;
        long start = System.nanoTime() - waited * 1_000_000L;
        for (;;) {
            int wait = SLICE_MS;
            if (timeout > 0) {
                long left = timeout - (System.nanoTime() - start) / 1_000_000;
                if (left <= 0)
                    throw line.timedOut(timeout);
                wait = (int) Math.min(left, Integer.MAX_VALUE);
            }
            int n = LineNatives.read(line.handle, b, off, len, wait);
            if (n > 0)
                return n;
            if (n < 0)
                throw line.failure(n, "read");
            if (timeout > 0)
                throw line.timedOut(timeout);
            if (Thread.interrupted())
                throw line.interrupted(true);
            if (line.closed)
                throw line.closedException();
        }
    }

    private void send(byte[] b, int off, int len) throws IOException {
        // The native takes the whole range or fails.
        int n = LineNatives.write(line.handle, b, off, len);
        if (n < 0)
            throw line.failure(n, "write");
    }

    private static void checkRange(byte[] b, int off, int len) {
        if (off < 0 || len < 0 || len > b.length - off)
            throw new IndexOutOfBoundsException("offset " + off + ", length " + len + ", array " + b.length);
    }

    private final class In extends InputStream {
        @Override
        public int read() throws IOException {
            int waited = line.enter(line.reading, true);
            try {
                receive(oneIn, 0, 1, waited);
                return oneIn[0] & 0xFF;
            } finally {
                line.reading.unlock();
            }
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return 0;
            int waited = line.enter(line.reading, true);
            try {
                return receive(b, off, len, waited);
            } finally {
                line.reading.unlock();
            }
        }

        @Override
        public int available() throws IOException {
            return line.quick(LineNatives::available, "available");
        }

        @Override
        public void close() {
            line.close();
        }
    }

    private final class Out extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            line.enter(line.writing, false);
            try {
                oneOut[0] = (byte) b;
                send(oneOut, 0, 1);
            } finally {
                line.writing.unlock();
            }
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return;
            line.enter(line.writing, false);
            try {
                send(b, off, len);
            } finally {
                line.writing.unlock();
            }
        }

        @Override
        public void close() {
            line.close();
        }
    }
}
