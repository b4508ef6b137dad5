// SerialLine's streams: reads that wait in the system and bulk transfers, each in its direction's turn.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.channels.ClosedByInterruptException;
import java.nio.channels.spi.AbstractInterruptibleChannel;

/** The input and output streams of one {@link SerialLine}, whose turns and closing they follow. */
final class LineStreams {
    private final SerialLine line;
    final InputStream in = new In();
    final OutputStream out = new Out();
    private final byte[] oneIn = new byte[1];  // under the line's reading turn
    private final byte[] oneOut = new byte[1]; // under its writing turn
    private Wake wake = new Wake();            // under the reading turn; a fresh one after each interrupt

    LineStreams(SerialLine line) {
        this.line = line;
    }

    /**
     * What Thread.interrupt() calls for a reader waiting in the natives: it
     * wakes the read alone, so that the wait costs nothing while nothing
     * arrives and the line stays open. The JDK closes such a channel once
     * interrupted, so each interrupt takes one.
     */
    private final class Wake extends AbstractInterruptibleChannel {
        /** A read of the natives: gapMs 0 for a plain one, else a message's that the gap ends. */
        int read(byte[] b, int off, int len, int wait, int gapMs) throws IOException {
            int n = 0;
            begin();
            try {
                n = gapMs == 0 ? line.core.transport.read(b, off, len, wait)
                        : line.core.transport.readGap(b, off, len, gapMs, wait);
            } finally {
                try {
                    end(n != 0);
                } catch (ClosedByInterruptException e) {
                    wake = new Wake();
                    if (n <= 0) // bytes that came with the interrupt are the caller's; it stays interrupted
                        throw line.core.interrupted(true);
                }
            }
            return n;
        }

        @Override
        protected void implCloseChannel() {
            line.core.wakeRead();
        }
    }

    /**
     * Reads one message that a gap of {@code gapMs} ends into b, in the
     * line's reading turn: its length, which is {@code len} when the message
     * may go on. The line's read time-out bounds the wait for its first
     * byte, and for the turn; {@code firstWaitMs}, when above 0, replaces it.
     */
    int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs) throws IOException {
        checkRange(b, off, len);
        int waited = line.core.enter(line.core.reading, true);
        try {
            return receive(b, off, len, waited, gapMs, firstWaitMs);
        } finally {
            line.core.reading.unlock();
        }
    }

    /** Reads into b, having waited {@code waited} ms for the turn; holds the line's reading turn. */
    private int receive(byte[] b, int off, int len, int waited) throws IOException {
        return receive(b, off, len, waited, 0, 0);
    }

    private int receive(byte[] b, int off, int len, int waited, int gapMs, int firstWaitMs) throws IOException {
        int timeout = firstWaitMs > 0 ? firstWaitMs : line.core.readTimeout;
        long start = System.nanoTime() - waited * 1_000_000L;
        for (;;) {
            int wait = 0;
            if (timeout > 0) {
                long left = timeout - (System.nanoTime() - start) / 1_000_000;
                if (left <= 0)
                    throw line.core.timedOut(timeout);
                wait = (int) Math.min(left, Integer.MAX_VALUE);
            }
            int n = wake.read(b, off, len, wait, gapMs);
            if (n > 0)
                return n;
            if (n < 0)
                throw line.core.failure(n, "read");
            // Nothing: the time-out passed, or a wake that an earlier interrupt left came first.
            if (Thread.interrupted())
                throw line.core.interrupted(true);
            if (line.core.closed)
                throw line.core.closedException();
        }
    }

    private void send(byte[] b, int off, int len) throws IOException {
        // The native takes the whole range or fails.
        int n = line.core.transport.write(b, off, len);
        if (n < 0)
            throw line.core.failure(n, "write");
    }

    private static void checkRange(byte[] b, int off, int len) {
        if (off < 0 || len < 0 || len > b.length - off)
            throw new IndexOutOfBoundsException("offset " + off + ", length " + len + ", array " + b.length);
    }

    private final class In extends InputStream {
        @Override
        public int read() throws IOException {
            int waited = line.core.enter(line.core.reading, true);
            try {
                receive(oneIn, 0, 1, waited);
                return oneIn[0] & 0xFF;
            } finally {
                line.core.reading.unlock();
            }
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return 0;
            int waited = line.core.enter(line.core.reading, true);
            try {
                return receive(b, off, len, waited);
            } finally {
                line.core.reading.unlock();
            }
        }

        @Override
        public int available() throws IOException {
            return line.core.quick(Transport::available, "available");
        }

        @Override
        public void close() {
            line.close();
        }
    }

    private final class Out extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            line.core.enter(line.core.writing, false);
            try {
                oneOut[0] = (byte) b;
                send(oneOut, 0, 1);
            } finally {
                line.core.writing.unlock();
            }
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return;
            line.core.enter(line.core.writing, false);
            try {
                send(b, off, len);
            } finally {
                line.core.writing.unlock();
            }
        }

        @Override
        public void close() {
            line.close();
        }
    }
}
