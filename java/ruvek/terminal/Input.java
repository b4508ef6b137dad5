// What the terminal sends for its input: the newline chosen with --eol, and the quit key at a keyboard.
package ruvek.terminal;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;

/**
 * Turns standard input into the bytes sent. Without {@code --eol} the
 * bytes go as they come. With it, a newline becomes the chosen end of line:
 * at a keyboard in raw mode that is the Enter key, which the tty gives as
 * CR; from piped input it is LF or CR LF, so that a file with either ending
 * sends the same. At a keyboard, {@link #QUIT} ends the input and is not sent.
 */
final class Input {
    /** Ctrl-], telnet's escape: seldom needed by a device, unlike Ctrl-C or Ctrl-A. */
    static final int QUIT = 0x1D;
    static final String QUIT_NAME = "Ctrl-]";

    /** The ends of line --eol names. */
    enum Eol {
        CR("\r"), LF("\n"), CRLF("\r\n");

        final byte[] bytes;

        Eol(String s) {
            bytes = s.getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        }

        /** The end of line for --eol's argument, cr, lf or crlf in any case; null for anything else. */
        static Eol of(String arg) {
            for (Eol e : values())
                if (e.name().equalsIgnoreCase(arg))
                    return e;
            return null;
        }
    }

    private final Eol eol;
    private final boolean keyboard;
    private boolean heldCr; // piped: a CR that may begin a CR LF
    private boolean quit;

    /**
     * @param eol what a newline becomes, or null to send it as it comes
     * @param keyboard whether the input is a tty in raw mode, key by key
     */
    Input(Eol eol, boolean keyboard) {
        this.eol = eol;
        this.keyboard = keyboard;
    }

    /** Whether the quit key has come; what followed it was dropped. */
    boolean quit() {
        return quit;
    }

    /** What to send for the first {@code n} bytes of {@code buf}. */
    byte[] translate(byte[] buf, int n) {
        ByteArrayOutputStream send = new ByteArrayOutputStream(n + 8);
        for (int k = 0; k < n && !quit; k++) {
            int b = buf[k] & 0xFF;
            if (keyboard && b == QUIT) {
                quit = true;
            } else if (eol == null) {
                send.write(b);
            } else if (keyboard) {
                if (b == '\r')
                    send.write(eol.bytes, 0, eol.bytes.length);
                else
                    send.write(b);
            } else if (b == '\n') {
                heldCr = false;
                send.write(eol.bytes, 0, eol.bytes.length);
            } else {
                if (heldCr)
                    send.write('\r');
                heldCr = b == '\r';
                if (!heldCr)
                    send.write(b);
            }
        }
        return send.toByteArray();
    }

    /** What is still to send once the input has ended: a CR held back that no LF followed. */
    byte[] end() {
        byte[] last = heldCr ? new byte[] {'\r'} : new byte[0];
        heldCr = false;
        return last;
    }

    /** Copies until the end of input or the quit key; the write's failure, if one failed. */
    IOException copy(InputStream in, OutputStream port) {
        byte[] buf = new byte[4096];
        try {
            for (int n; !quit && (n = in.read(buf)) > 0; ) {
                IOException failed = send(port, translate(buf, n));
                if (failed != null)
                    return failed;
            }
        } catch (IOException e) {
            // standard input failed: as its end
        }
        return send(port, end());
    }

    private static IOException send(OutputStream port, byte[] bytes) {
        if (bytes.length == 0)
            return null;
        try {
            port.write(bytes);
            return null;
        } catch (IOException e) {
            return e;
        }
    }
}
