// Messages through real drivers: the 8250 and ftdi_sio joined as a null-modem, framed by delimiter, length and gap.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.charset.StandardCharsets;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.Framing;
import ruvek.MessageReader;
import ruvek.MessageTooLongException;
import ruvek.SerialLine;

class MessagesTest {
    static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    static String read(MessageReader r) throws Exception {
        return new String(r.read(), StandardCharsets.US_ASCII);
    }

    @Test
    void delimitedAndFixedMessagesCrossFromTheUartToTheAdapter() throws Exception {
        Rig.ask("relay s1 usb");
        try (SerialLine uart = SerialLine.open(Rig.UART, 115200); SerialLine adapter = SerialLine.open(Rig.ADAPTER, 115200)) {
            adapter.setReadTimeout((int) Rig.PATIENCE_MS);
            MessageReader lines = new MessageReader(adapter, Framing.delimiter("\r\n", 32));
            uart.getOutputStream().write(ascii("one\r\ntwo\r\n" + "x".repeat(100) + "\r\nthree\r\n"));
            assertEquals("one", read(lines));
            assertEquals("two", read(lines));
            assertEquals(32, assertThrows(MessageTooLongException.class, lines::read).limit());
            assertEquals("three", read(lines));
            MessageReader fixed = new MessageReader(adapter, Framing.length(4));
            uart.getOutputStream().write(ascii("abcdefgh"));
            assertEquals("abcd", read(fixed));
            assertEquals("efgh", read(fixed));
        }
    }

    /**
     * The way back, into the 8250, at 9600 baud: each frame ends at a gap
     * that the port's interval time-out finds. The host relays the bytes,
     * so the gap is wide enough that its scheduling can't split a frame.
     */
    @Test
    void framesThatAGapEndsCrossFromTheAdapterToTheUart() throws Exception {
        Rig.ask("relay s1 usb");
        try (SerialLine uart = SerialLine.open(Rig.UART, 9600); SerialLine adapter = SerialLine.open(Rig.ADAPTER, 9600)) {
            uart.setReadTimeout((int) Rig.PATIENCE_MS);
            MessageReader frames = new MessageReader(uart, Framing.gapMillis(300, 512));
            byte[] frame = new byte[200];
            for (int i = 0; i < frame.length; i++)
                frame[i] = (byte) (i * 7);
            for (int round = 0; round < 3; round++) {
                // Without a read time-out one read ends at the gap; with one, each wait for the next byte does.
                uart.setReadTimeout(round == 0 ? 0 : (int) Rig.PATIENCE_MS);
                CompletableFuture<byte[]> got = CompletableFuture.supplyAsync(() -> {
                    try {
                        return frames.read();
                    } catch (Exception e) {
                        throw new RuntimeException(e);
                    }
                });
                adapter.getOutputStream().write(frame);
                assertArrayEquals(frame, got.get(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS), "frame " + round);
            }
            adapter.getOutputStream().write(new byte[600]);
            assertEquals(512, assertThrows(MessageTooLongException.class, frames::read).limit());
            adapter.getOutputStream().write(ascii("end"));
            assertEquals("end", read(frames));
        }
    }
}
