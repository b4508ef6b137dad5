// The terminal's --hex output: received bytes as offset, hex and text lines of 16.
package ruvek.terminal;

import java.io.IOException;
import java.io.OutputStream;

/**
 * Turns a byte stream into lines such as
 * {@code 00000000  41 42 0d 0a                                      |AB..|}:
 * the offset of the line's first byte, up to 16 bytes in hex (a gap after
 * the eighth) and the same bytes as ASCII, a dot for anything not printable.
 * A line is written once it holds 16 bytes, or earlier through {@link #flush}
 * when the port has gone quiet, so that a person sees what came without
 * waiting for 16 bytes; the next line then starts at the next offset.
 */
final class HexDump {
    static final int WIDTH = 16;

    private final OutputStream out;
    private final byte[] pending = new byte[WIDTH];
    private int held;
    private long offset;

    HexDump(OutputStream out) {
        this.out = out;
    }

    /** Takes one received byte; writes the line it completes. */
    void write(int b) throws IOException {
        pending[held++] = (byte) b;
        if (held == WIDTH)
            flush();
    }

    /** Writes the bytes held as a line of their own, if there are any. */
    void flush() throws IOException {
        if (held == 0)
            return;
        out.write(line(offset, pending, held).getBytes("US-ASCII"));
        offset += held;
        held = 0;
    }

    /** Whether bytes wait for their line. */
    boolean holding() {
        return held > 0;
    }

    /** The line for the first {@code n} bytes of {@code bytes} (1 to 16) at {@code offset}, newline included. */
    static String line(long offset, byte[] bytes, int n) {
        StringBuilder s = new StringBuilder(80);
        String at = Long.toHexString(offset);
        for (int k = at.length(); k < 8; k++)
            s.append('0');
        s.append(at).append(' ');
        for (int k = 0; k < WIDTH; k++) {
            s.append(k == 8 ? "  " : " ");
            if (k < n) {
                int b = bytes[k] & 0xFF;
                s.append(Character.forDigit(b >> 4, 16)).append(Character.forDigit(b & 0xF, 16));
            } else {
                s.append("  "); // keeps a short line's text under the full lines' text
            }
        }
        s.append("  |");
        for (int k = 0; k < n; k++) {
            int b = bytes[k] & 0xFF;
            s.append(b >= 0x20 && b < 0x7F ? (char) b : '.');
        }
        return s.append("|\n").toString();
    }
}
