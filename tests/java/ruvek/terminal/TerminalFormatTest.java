// The terminal's hex lines, what it sends for a newline and the quit key, and its usage line.
package ruvek.terminal;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;

class TerminalFormatTest {
    static byte[] bytes(String s) {
        return s.getBytes(StandardCharsets.ISO_8859_1);
    }

    static String text(byte[] b) {
        return new String(b, StandardCharsets.ISO_8859_1);
    }

    @Test
    void hexLinesKeepTheirColumnsAndCountOnAcrossQuietFlushes() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        HexDump dump = new HexDump(out);
        for (byte b : bytes("0123456789abcdef\u0000\u007f\u0080\u00ff \n"))
            dump.write(b & 0xFF);
        String full = "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n";
        assertEquals(full, out.toString("US-ASCII"), "a full line goes out at once; the rest waits");
        dump.flush();
        dump.flush(); // nothing held: nothing written
        dump.write('Z');
        dump.flush();
        String[] lines = out.toString("US-ASCII").split("\n");
        assertEquals(3, lines.length, out.toString("US-ASCII"));
        // Not printable in ASCII (control bytes, DEL, the upper half) shows as a dot; a space as itself.
        assertEquals("00000010  00 7f 80 ff 20 0a" + " ".repeat(33) + "|.... .|", lines[1]);
        assertEquals("00000016  5a" + " ".repeat(48) + "|Z|", lines[2]);
        // Short lines' text starts where a full line's does.
        assertEquals(full.indexOf('|'), lines[1].indexOf('|'));
        assertEquals(full.indexOf('|'), lines[2].indexOf('|'));
        // Offsets past 32 bits widen rather than wrap.
        assertTrue(HexDump.line(0x1_0000_0000L, new byte[] {1}, 1).startsWith("100000000  01 "));
    }

    @Test
    void newlinesBecomeTheEndOfLineChosenAndNothingElseChanges() {
        // Piped: LF and CR LF are each one newline, even when a read splits them; a lone CR stays as it is.
        Input piped = new Input(Input.Eol.CR, false);
        StringBuilder sent = new StringBuilder();
        sent.append(text(piped.translate(bytes("a\nb\r"), 4)));
        sent.append(text(piped.translate(bytes("\nc\rd\r"), 5)));
        sent.append(text(piped.end()));
        assertEquals("a\rb\rc\rd\r", sent.toString());
        Input crlf = new Input(Input.Eol.CRLF, false);
        assertEquals("x\r\ny\r\n\r", text(crlf.translate(bytes("x\ny\r\n\r"), 6)) + text(crlf.end()));

        // At a keyboard the Enter key comes as CR; Ctrl-J (LF) is a key of its own and goes as it is.
        Input keys = new Input(Input.Eol.LF, true);
        assertEquals("ls\n\n", text(keys.translate(bytes("ls\r\n"), 4)));
        assertEquals("", text(keys.end()));

        // Without --eol every byte goes as it came, whatever the input.
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        Input plain = new Input(null, false);
        assertEquals(text(all), text(plain.translate(all, 256)) + text(plain.end()));

        assertEquals(Input.Eol.CRLF, Input.Eol.of("crlf"));
        assertEquals(Input.Eol.CR, Input.Eol.of("CR"));
        for (String bad : new String[] {"", "cr lf", "\\r\\n", "nl", "crlf "})
            assertNull(Input.Eol.of(bad), bad);
    }

    @Test
    void theQuitKeyEndsKeyboardInputUnsentButPipedInputSendsIt() {
        Input keys = new Input(Input.Eol.CRLF, true);
        byte[] typed = bytes("ab\r\u001dcd");
        assertEquals("ab\r\n", text(keys.translate(typed, typed.length)), "the quit key and what followed are not sent");
        assertTrue(keys.quit());
        assertEquals("", text(keys.translate(bytes("more"), 4)));

        Input piped = new Input(null, false);
        assertEquals(text(typed), text(piped.translate(typed, typed.length)));
        assertFalse(piped.quit());

        // The copy stops reading at the quit key: input after it stays unread, for whatever reads next.
        InputStream in = new ByteArrayInputStream(bytes("x\u001d")) {
            @Override
            public synchronized int read(byte[] b, int off, int len) {
                return super.read(b, off, Math.min(len, 1)); // a key at a time, as a tty in raw mode gives them
            }
        };
        ByteArrayInputStream later = new ByteArrayInputStream(bytes("y"));
        ByteArrayOutputStream port = new ByteArrayOutputStream();
        assertNull(new Input(null, true).copy(new java.io.SequenceInputStream(in, later), port));
        assertEquals("x", port.toString());
        assertEquals(1, later.available(), "a read after the quit key would wait for one more key");
    }

    @Test
    void usageNamesTheCommandAndLinesItsOptionsUp() {
        String usage = About.usage("java -p ruvek-module.jar -m ruvek");
        String[] lines = usage.split("\n");
        assertTrue(lines[0].startsWith("usage: java -p ruvek-module.jar -m ruvek [--hex] "), lines[0]);
        assertEquals(lines[0].indexOf("[--hex]"), lines[1].indexOf('['), usage);
        assertEquals("       java -p ruvek-module.jar -m ruvek --list | --watch | --help | --version", lines[2]);
        assertTrue(usage.contains("--eol") && usage.contains("Ctrl-] quits"), usage);
        // Run from a class path, as here: the class is named.
        assertTrue(About.command().endsWith("ruvek.terminal.SerialTerminal"), About.command());
    }
}
