// Bytes through real drivers: the 8250 and ftdi_sio, several lines at once.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;
import ruvek.SerialLine;

class BytesTest {
    @Test
    void echoThroughTheUart() throws Exception {
        Rig.ask("mode s1 echo");
        try (SerialLine line = SerialLine.open(Rig.UART, 115200)) {
            byte[] all = new byte[256];
            for (int i = 0; i < 256; i++)
                all[i] = (byte) i;
            line.getOutputStream().write(all);
            byte[] got = new byte[256];
            for (int n = 0; n < 256; )
                n += line.getInputStream().read(got, n, 256 - n);
            assertArrayEquals(all, got);
        }
        assertEquals("", Rig.ask("mode s1 sink"));
    }
}
