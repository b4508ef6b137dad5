// Bytes through real drivers both ways at once: the 8250 and ftdi_sio joined as a null-modem, a third line beside them.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;

import java.io.IOException;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.SerialLine;

class BytesTest {
    static final int SIZE = Integer.getInteger("ruvek.guest.mib", 2) << 20;

    static CompletableFuture<Void> writes(SerialLine line, byte[] data) {
        return CompletableFuture.runAsync(() -> {
            try {
                line.getOutputStream().write(data);
            } catch (IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
        });
    }

    static CompletableFuture<byte[]> reads(SerialLine line, int n) {
        return CompletableFuture.supplyAsync(() -> {
            byte[] got = new byte[n];
            try {
                for (int k = 0; k < n; )
                    k += line.getInputStream().read(got, k, n - k);
            } catch (IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
            return got;
        });
    }

    /** The bench joins ttyS1's far end to ttyUSB0's: each line sends to the other while ttyS3's far end echoes. */
    @Test
    void mebibytesCrossBothWaysAtOnceByteExactWithThreeLinesOpen() throws Exception {
        Rig.ask("relay s1 usb");
        Rig.ask("mode s3 echo");
        byte[] one = new byte[SIZE], two = new byte[SIZE], three = new byte[SIZE / 8];
        new Random(1).nextBytes(one);
        new Random(2).nextBytes(two);
        new Random(3).nextBytes(three);
        long start = System.nanoTime();
        try (SerialLine uart = SerialLine.open(Rig.UART, 115200); SerialLine adapter = SerialLine.open(Rig.ADAPTER, 115200);
                SerialLine echo = SerialLine.open(Rig.TELNET_UART, 115200)) {
            uart.setReadTimeout((int) Rig.PATIENCE_MS);
            adapter.setReadTimeout((int) Rig.PATIENCE_MS);
            echo.setReadTimeout((int) Rig.PATIENCE_MS);
            CompletableFuture<byte[]> atAdapter = reads(adapter, SIZE), atUart = reads(uart, SIZE),
                    back = reads(echo, three.length);
            CompletableFuture<Void> all = CompletableFuture.allOf(writes(uart, one), writes(adapter, two), writes(echo, three));
            all.get(10, TimeUnit.MINUTES);
            assertArrayEquals(one, atAdapter.get(10, TimeUnit.MINUTES), "ttyS1 to ttyUSB0");
            assertArrayEquals(two, atUart.get(10, TimeUnit.MINUTES), "ttyUSB0 to ttyS1");
            assertArrayEquals(three, back.get(10, TimeUnit.MINUTES), "ttyS3 and back");
        } finally {
            Rig.ask("mode s1 sink");
            Rig.ask("mode usb sink");
            Rig.ask("mode s3 sink");
        }
        double s = (System.nanoTime() - start) / 1e9;
        System.out.printf("%d KiB each way between ttyS1 and ttyUSB0, %d KiB round ttyS3, in %.1f s%n", SIZE >> 10,
                three.length >> 10, s);
    }
}
