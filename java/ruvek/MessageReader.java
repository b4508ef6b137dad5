// Messages off a SerialLine, one at a time: framed by a delimiter, a length, or a gap that the system times.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.net.SocketTimeoutException;
import java.util.Arrays;

/**
 * Reads a {@link SerialLine}'s bytes as messages, one per {@link #read()},
 * as its {@link Framing} says. A read waits for its message's first byte as
 * long as the line's read time-out allows, in the system; a gap is timed by
 * the system's own inter-byte time-out, not by Java.
 *
 * <p>Bytes read past a message's end stay in the reader for the next
 * message, so a line's bytes go to one reader at a time: this one, or the
 * line's input stream. A message past the limit throws
 * {@link MessageTooLongException}, and reading goes on at the next message.
 * Reads are safe from several threads; each message goes to one of them.
 */
public final class MessageReader {
    private final SerialLine line;
    private final Framing framing;
    private final int gapMs;      // 0 unless a gap ends messages
    private final InputStream in;
    private byte[] held;          // bytes read and not yet delivered: [0, count)
    private int count;
    private boolean skipping;     // passing over the rest of a message that went on too long
    private int searched;         // held bytes before this start no delimiter

    /**
     * A reader of {@code line}'s messages.
     *
     * @param line the line
     * @param framing where each message ends
     * @throws SerialPortException when a gap in characters is asked for and
     *     the line's settings can't be read
     */
    public MessageReader(SerialLine line, Framing framing) throws SerialPortException {
        if (line == null || framing == null)
            throw new IllegalArgumentException("a message reader needs a line and a framing");
        this.line = line;
        this.framing = framing;
        switch (framing.kind) {
        case GAP_MS: gapMs = framing.amount; break;
        case GAP_CHARACTERS: gapMs = framing.gapMs(line.settings()); break;
        default: gapMs = 0; break;
        }
        in = line.getInputStream();
        held = new byte[gapMs > 0 ? 0 : Math.min(framing.limit + delimiterLength() + 4096, 8192)];
    }

    /** @return the framing */
    public Framing framing() {
        return framing;
    }

    /** @return the gap that ends a message, in ms at the line's settings; 0 when no gap does */
    public int gapMillis() {
        return gapMs;
    }

    /**
     * The next whole message, waiting for it as the line's reads wait.
     *
     * @return the message, without its delimiter
     * @throws MessageTooLongException when the message went on past the limit
     * @throws IOException as the line's input stream's reads throw: on a time-out, an interrupt, a closed line
     */
    public synchronized byte[] read() throws IOException {
        if (gapMs > 0)
            return readGap(0);
        for (;;) {
            byte[] m = next();
            if (m != null)
                return m;
            fill(Integer.MAX_VALUE);
        }
    }

    /** A message from what has arrived, waiting for no more than the system has; null when none is whole. */
    synchronized byte[] poll() throws IOException {
        for (;;) {
            if (gapMs == 0) {
                byte[] m = next();
                if (m != null)
                    return m;
            }
            int waiting = in.available();
            if (waiting == 0)
                return null;
            if (gapMs > 0) {
                try {
                    return readGap(1);
                } catch (SocketTimeoutException e) {
                    return null; // another reader took the bytes
                }
            }
            fill(waiting);
        }
    }

    /** One message that the gap ends; firstWaitMs 0 for the line's own read time-out. */
    private byte[] readGap(int firstWaitMs) throws IOException {
        int limit = framing.limit;
        byte[] m = new byte[Math.min(limit + 1, 1 << 16)];
        int got = line.streams.readGap(m, 0, m.length, gapMs, firstWaitMs);
        // A full buffer may go on: the rest comes before the next gap.
        boolean more = got == m.length;
        while (more && got <= limit) {
            if (got == m.length)
                m = Arrays.copyOf(m, (int) Math.min(limit + 1L, m.length * 2L));
            int want = m.length - got;
            int n = followOn(m, got, want);
            got += n;
            more = n == want;
        }
        if (got <= limit)
            return Arrays.copyOf(m, got);
        // Too long: pass over the rest, to its gap.
        byte[] rest = new byte[4096];
        while (followOn(rest, 0, rest.length) == rest.length) {
            // more of the same message
        }
        throw new MessageTooLongException(line, limit, Arrays.copyOf(m, limit));
    }

    /** More of the message in progress: what comes before the next gap, 0 when the gap came first. */
    private int followOn(byte[] b, int off, int len) throws IOException {
        try {
            return line.streams.readGap(b, off, len, gapMs, gapMs);
        } catch (SocketTimeoutException e) {
            return 0;
        }
    }

    /** Reads up to max more bytes into the held ones: at least one, waiting as the line's reads do. */
    private void fill(int max) throws IOException {
        if (count == held.length) {
            int room = framing.limit + delimiterLength() + 4096;
            if (held.length < room) {
                held = Arrays.copyOf(held, (int) Math.min(room, held.length * 2L));
            } else {
                // Only a skipped message fills it all: its bytes go, what a delimiter may start with stays.
                int keep = delimiterLength() - 1;
                System.arraycopy(held, count - keep, held, 0, keep);
                count = keep;
                searched = 0;
            }
        }
        int n = in.read(held, count, Math.min(max, held.length - count));
        if (n > 0)
            count += n;
    }

    /** A whole message from the held bytes, or null; throws for one past the limit. */
    private byte[] next() throws MessageTooLongException {
        if (framing.kind == Framing.Kind.LENGTH) {
            if (count < framing.amount)
                return null;
            return take(framing.amount, framing.amount);
        }
        byte[] d = framing.delimiter();
        int limit = framing.limit;
        for (;;) {
            int at = indexOf(d, Math.min(count, (skipping ? count : limit) + d.length));
            if (at >= 0) {
                if (!skipping)
                    return take(at, at + d.length);
                take(at, at + d.length); // the end of the message too long
                skipping = false;
                continue;
            }
            if (skipping) {
                drop(count - (d.length - 1));
                return null;
            }
            if (count < limit + d.length)
                return null;
            // No delimiter within the limit: the message is too long.
            byte[] partial = Arrays.copyOf(held, limit);
            drop(limit);
            skipping = true;
            throw new MessageTooLongException(line, limit, partial);
        }
    }

    /** Where the delimiter starts within the first end bytes, or -1. */
    private int indexOf(byte[] d, int end) {
        outer:
        for (int i = searched; i + d.length <= end; i++) {
            for (int j = 0; j < d.length; j++)
                if (held[i + j] != d[j])
                    continue outer;
            return i;
        }
        searched = Math.max(searched, end - d.length + 1);
        return -1;
    }

    /** The first length held bytes, with used bytes taken off the front. */
    private byte[] take(int length, int used) {
        byte[] m = Arrays.copyOf(held, length);
        drop(used);
        return m;
    }

    private void drop(int n) {
        if (n <= 0)
            return;
        System.arraycopy(held, n, held, 0, count - n);
        count -= n;
        searched = Math.max(0, searched - n);
    }

    private int delimiterLength() {
        return framing.kind == Framing.Kind.DELIMITER ? framing.delimiter().length : 1;
    }

    @Override
    public String toString() {
        return framing + " of " + line.device() + (gapMs > 0 ? " (gap " + gapMs + " ms)" : "");
    }
}
