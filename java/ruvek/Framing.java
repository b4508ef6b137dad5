// How a MessageReader tells where one message ends: a delimiter, a length, or a gap with no byte.
package ruvek;

import java.util.Arrays;

/**
 * Where a message ends, for a {@link MessageReader}: at a delimiter, after a
 * fixed number of bytes, or at a gap with no byte, in milliseconds or in
 * character times at the line's settings. Every framing has a limit, the
 * longest message it delivers; a longer one is an error that names it.
 */
public final class Framing {
    /** The longest limit: what a reader may hold of one message. */
    public static final int MAX_LIMIT = 1 << 24;

    enum Kind { DELIMITER, LENGTH, GAP_MS, GAP_CHARACTERS }

    final Kind kind;
    private final byte[] delimiter;
    final int amount; // the length, or the gap in its unit
    final int limit;

    private Framing(Kind kind, byte[] delimiter, int amount, int limit) {
        this.kind = kind;
        this.delimiter = delimiter;
        this.amount = amount;
        this.limit = limit;
    }

    /**
     * Messages that end with {@code delimiter}, which is not part of them.
     *
     * @param delimiter one or more bytes, for example {@code "\r\n"}'s
     * @param limit the longest message, delimiter left out: 1 to {@link #MAX_LIMIT}
     * @return the framing
     */
    public static Framing delimiter(byte[] delimiter, int limit) {
        if (delimiter == null || delimiter.length == 0 || delimiter.length > 256)
            throw new IllegalArgumentException("a delimiter has 1 to 256 bytes");
        return new Framing(Kind.DELIMITER, delimiter.clone(), 0, checkLimit(limit));
    }

    /**
     * As {@link #delimiter(byte[], int)}, with the delimiter's characters as
     * bytes, each of which must be below 256 (for example {@code "\r\n"}).
     *
     * @param delimiter the delimiter
     * @param limit the longest message, delimiter left out
     * @return the framing
     */
    public static Framing delimiter(String delimiter, int limit) {
        if (delimiter == null)
            throw new IllegalArgumentException("a delimiter has 1 to 256 bytes");
        byte[] b = new byte[delimiter.length()];
        for (int i = 0; i < b.length; i++) {
            char c = delimiter.charAt(i);
            if (c > 0xFF)
                throw new IllegalArgumentException("a delimiter's characters must be below 256, not U+"
                        + Integer.toHexString(c));
            b[i] = (byte) c;
        }
        return delimiter(b, limit);
    }

    /**
     * Messages of exactly {@code length} bytes.
     *
     * @param length 1 to {@link #MAX_LIMIT}
     * @return the framing
     */
    public static Framing length(int length) {
        return new Framing(Kind.LENGTH, null, checkLimit(length), length);
    }

    /**
     * Messages that a gap of {@code ms} with no byte ends, timed by the
     * system's own inter-byte time-out.
     *
     * @param ms the gap, 1 to 60000 milliseconds
     * @param limit the longest message: 1 to {@link #MAX_LIMIT}
     * @return the framing
     */
    public static Framing gapMillis(int ms, int limit) {
        if (ms < 1 || ms > 60000)
            throw new IllegalArgumentException("a gap lasts 1 to 60000 ms, not " + ms);
        return new Framing(Kind.GAP_MS, null, ms, checkLimit(limit));
    }

    /**
     * Messages that a gap of {@code characters} character times ends, as
     * Modbus RTU ends a frame after 3.5: the time is worked out from the
     * line's rate and format when a reader is made, at least 1 ms.
     *
     * @param characters the gap, 1 to 1000 character times
     * @param limit the longest message: 1 to {@link #MAX_LIMIT}
     * @return the framing
     */
    public static Framing gapCharacters(double characters, int limit) {
        if (!(characters >= 1 && characters <= 1000))
            throw new IllegalArgumentException("a gap lasts 1 to 1000 character times, not " + characters);
        return new Framing(Kind.GAP_CHARACTERS, null, (int) Math.round(characters * 1000), checkLimit(limit));
    }

    private static int checkLimit(int limit) {
        if (limit < 1 || limit > MAX_LIMIT)
            throw new IllegalArgumentException("a message's limit is 1 to " + MAX_LIMIT + " bytes, not " + limit);
        return limit;
    }

    /** @return the longest message delivered, in bytes */
    public int limit() {
        return limit;
    }

    byte[] delimiter() {
        return delimiter;
    }

    /** The gap in ms at a line's settings: bits per character over the rate, rounded up. */
    int gapMs(LineSettings s) {
        if (kind == Kind.GAP_MS)
            return amount;
        double stop = s.stopBits() == LineSettings.StopBits.ONE ? 1 : s.stopBits() == LineSettings.StopBits.TWO ? 2 : 1.5;
        double bits = 1 + s.dataBits() + (s.parity() == LineSettings.Parity.NONE ? 0 : 1) + stop;
        double ms = amount / 1000.0 * bits * 1000.0 / s.baud();
        return (int) Math.max(1, Math.min(60000, Math.ceil(ms)));
    }

    @Override
    public String toString() {
        switch (kind) {
        case DELIMITER: return "messages ended by " + hex(delimiter) + ", at most " + limit + " bytes";
        case LENGTH: return "messages of " + amount + " bytes";
        case GAP_MS: return "messages ended by a gap of " + amount + " ms, at most " + limit + " bytes";
        default: return "messages ended by a gap of " + amount / 1000.0 + " characters, at most " + limit + " bytes";
        }
    }

    private static String hex(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b)
            s.append(s.length() == 0 ? "" : " ").append(String.format("%02X", x & 0xFF));
        return s.toString();
    }

    @Override
    public boolean equals(Object o) {
        if (!(o instanceof Framing))
            return false;
        Framing f = (Framing) o;
        return kind == f.kind && amount == f.amount && limit == f.limit && Arrays.equals(delimiter, f.delimiter);
    }

    @Override
    public int hashCode() {
        return (kind.hashCode() * 31 + amount) * 31 + limit + Arrays.hashCode(delimiter);
    }
}
