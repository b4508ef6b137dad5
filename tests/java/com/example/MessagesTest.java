// Messages off a SerialLine over a socat null-modem: by delimiter, length and gap, as calls and as events.
package com.example;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.EnumSet;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.Framing;
import ruvek.LineEvent;
import ruvek.LineEvent.Type;
import ruvek.LineSettings;
import ruvek.MessageReader;
import ruvek.MessageTooLongException;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

class MessagesTest {
    static final Duration LIMIT = Duration.ofSeconds(120);

    Path dir;
    NullModem cable;

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-messages");
        cable = new NullModem(dir, 64).open();
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        NullModem.removeFolder(dir);
    }

    static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    static String text(byte[] b) {
        return new String(b, StandardCharsets.US_ASCII);
    }

    @Test
    void delimitedAndFixedMessagesComeWholeHoweverTheBytesArrive() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                MessageReader lines = new MessageReader(line, Framing.delimiter("\r\n", 8));
                cable.write(ascii("one\r\ntwo\r"));
                assertEquals("one", text(lines.read()));
                cable.write(ascii("\nthr"));
                assertEquals("two", text(lines.read()));
                cable.write(ascii("ee\r\n\r\n"));
                assertEquals("three", text(lines.read()));
                assertEquals("", text(lines.read()), "an empty message is one");
                // Too long: an error naming the limit, with its start; the next message follows.
                cable.write(ascii("abcdefghijk\r\nok\r\n"));
                MessageTooLongException e = assertThrows(MessageTooLongException.class, lines::read);
                assertEquals(8, e.limit());
                assertEquals("abcdefgh", text(e.partial()));
                assertTrue(e.getMessage().contains("limit of 8 bytes"), e.getMessage());
                assertEquals("ok", text(lines.read()));
                // Exactly the limit is not too long, even when the delimiter comes later.
                cable.write(ascii("12345678"));
                cable.write(ascii("\r\n"));
                assertEquals("12345678", text(lines.read()));
                // A delimiter split across the skipped bytes is still found.
                byte[] big = new byte[20000];
                java.util.Arrays.fill(big, (byte) 'x');
                cable.write(big);
                cable.write(ascii("\r"));
                cable.write(ascii("\nafter\r\n"));
                assertThrows(MessageTooLongException.class, lines::read);
                assertEquals("after", text(lines.read()));
                // Nothing comes: the line's read time-out applies.
                line.setReadTimeout(200);
                assertThrows(SocketTimeoutException.class, lines::read);
                line.setReadTimeout(0);

                MessageReader fixed = new MessageReader(line, Framing.length(3));
                cable.write(ascii("abcdefgh"));
                assertEquals("abc", text(fixed.read()));
                assertEquals("def", text(fixed.read()));
                cable.write(ascii("i"));
                assertEquals("ghi", text(fixed.read()));
            }
        });
    }

    @Test
    void aGapEndsAMessageAndOneTooLongIsPassedOverToItsGap() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            SerialLine line = SerialLine.open(cable.port, 115200);
            try {
                MessageReader frames = new MessageReader(line, Framing.gapMillis(100, 5000));
                LinkedBlockingQueue<Object> got = new LinkedBlockingQueue<>();
                Thread reader = new Thread(() -> {
                    for (;;) {
                        try {
                            got.add(frames.read());
                        } catch (Exception e) {
                            got.add(e);
                            return;
                        }
                    }
                });
                reader.start();
                cable.write(ascii("first"));
                assertEquals("first", text((byte[]) got.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS)));
                // Longer than the natives' buffer, in one burst: one message.
                byte[] burst = new byte[3000];
                for (int i = 0; i < burst.length; i++)
                    burst[i] = (byte) i;
                cable.write(burst);
                assertArrayEquals(burst, (byte[]) got.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS));
                cable.write(ascii("second"));
                assertEquals("second", text((byte[]) got.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS)));
                line.close();
                Object end = got.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertTrue(end instanceof Exception, "the close ends the read: " + end);
                reader.join();
            } finally {
                line.close();
            }
            try (SerialLine again = SerialLine.open(cable.port, 115200)) {
                MessageReader frames = new MessageReader(again, Framing.gapMillis(100, 1000));
                cable.write(new byte[2500]);
                MessageTooLongException e = assertThrows(MessageTooLongException.class, frames::read);
                assertEquals(1000, e.limit());
                assertEquals(1000, e.partial().length);
                cable.write(ascii("ok"));
                assertEquals("ok", text(frames.read()));
                again.setReadTimeout(200);
                assertThrows(SocketTimeoutException.class, frames::read);
                cable.write(ascii("timed"));
                assertEquals("timed", text(frames.read()), "the time-out bounds the wait for the first byte");
                // Character times at the line's rate: 3.5 of 10 bits at 9600 baud is 3.6 ms.
                again.setSettings(LineSettings.of(9600));
                assertEquals(4, new MessageReader(again, Framing.gapCharacters(3.5, 256)).gapMillis());
            }
        });
    }

    @Test
    void messagesAreToldAsEventsAndOneTooLongAsAnError() throws Exception {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                assertThrows(IllegalArgumentException.class,
                        () -> line.listen(EnumSet.of(Type.MESSAGE), e -> {}), "MESSAGE with no framing");
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.MESSAGE), Framing.delimiter("\n", 16), told::add, null);
                cable.write(ascii("a\nbb\n"));
                assertEquals("a", text(next(told).message()));
                assertEquals("bb", text(next(told).message()));
                cable.write(new byte[40]);
                cable.write(ascii("\nc\n"));
                LineEvent tooLong = next(told);
                assertEquals(Type.MESSAGE, tooLong.type());
                assertNull(tooLong.message());
                assertEquals(16, tooLong.error().limit());
                assertEquals("c", text(next(told).message()));
            }
            try (SerialLine line = SerialLine.open(cable.port, 115200)) {
                LinkedBlockingQueue<LineEvent> told = new LinkedBlockingQueue<>();
                line.listen(EnumSet.of(Type.MESSAGE), Framing.gapMillis(50, 4096), told::add, null);
                cable.write(ascii("frame one"));
                assertEquals("frame one", text(next(told).message()));
                cable.write(ascii("frame two"));
                assertEquals("frame two", text(next(told).message()));
            }
        });
    }

    static LineEvent next(LinkedBlockingQueue<LineEvent> told) throws InterruptedException {
        LineEvent e = told.poll(NullModem.PATIENCE_MS, TimeUnit.MILLISECONDS);
        if (e == null)
            throw new AssertionError("no event within " + NullModem.PATIENCE_MS + " ms");
        return e;
    }
}
