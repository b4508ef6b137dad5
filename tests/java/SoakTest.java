// Random bytes both ways at once through SerialPort, checked byte for byte.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;

/**
 * Random bytes through a null-modem in both directions at once: one thread
 * calling send, one calling recc, byte-exact at the end. The size in MiB per
 * direction is the property ruvek.soak.mib (default 2).
 */
class SoakTest {
    @Test
    void randomBytesBothWaysAtOnceArriveExactly() throws Exception {
        long size = Long.getLong("ruvek.soak.mib", 2) << 20;
        Path dir = Files.createTempDirectory("ruvek-soak");
        SerialPort port = new SerialPort();
        try (NullModem modem = new NullModem(dir, 31).open()) {
            assertTrue(port.init(31, 115200));
            AtomicReference<Throwable> failure = new AtomicReference<>();
            long start = System.nanoTime();

            // Out through send; the peer's reader collects it, checked below.
            Thread sender = new Thread(() -> {
                Random out = new Random(10);
                for (long i = 0; i < size; i++)
                    if (!port.send(out.nextInt(256))) {
                        failure.compareAndSet(null, new AssertionError("send failed at byte " + i));
                        return;
                    }
            }, "sender");
            // In through recc, checked as it arrives.
            Thread receiver = new Thread(() -> {
                Random in = new Random(20);
                long deadline = System.nanoTime() + TimeUnit.MINUTES.toNanos(30);
                for (long i = 0; i < size; ) {
                    int b = port.recc();
                    if (b < 0) {
                        if (System.nanoTime() > deadline) {
                            failure.compareAndSet(null, new AssertionError("recc starved at byte " + i));
                            return;
                        }
                        Thread.onSpinWait();
                        continue;
                    }
                    int want = in.nextInt(256);
                    if (b != want) {
                        failure.compareAndSet(null, new AssertionError("byte " + i + ": " + b + " for " + want));
                        return;
                    }
                    i++;
                }
            }, "receiver");
            // The peer writes its stream in chunks, as fast as the cable takes it.
            Thread peerWriter = new Thread(() -> {
                Random in = new Random(20);
                byte[] chunk = new byte[4096];
                try {
                    for (long left = size; left > 0; left -= chunk.length) {
                        int n = (int) Math.min(chunk.length, left);
                        for (int k = 0; k < n; k++)
                            chunk[k] = (byte) in.nextInt(256);
                        modem.write(java.util.Arrays.copyOf(chunk, n));
                    }
                } catch (Exception e) {
                    failure.compareAndSet(null, e);
                }
            }, "peer writer");
            sender.start();
            receiver.start();
            peerWriter.start();

            Random out = new Random(10);
            for (long i = 0; i < size && failure.get() == null; i++) {
                int b = modem.read(30000);
                assertTrue(b >= 0, "the peer got only " + i + " bytes");
                assertEquals(out.nextInt(256), b, "byte " + i + " at the peer");
            }
            sender.join();
            receiver.join();
            peerWriter.join();
            if (failure.get() != null)
                throw new AssertionError(failure.get());
            assertEquals(-1, modem.read(200), "the peer got more than was sent");
            assertEquals(-1, port.recc(), "recc got more than the peer sent");

            double seconds = (System.nanoTime() - start) / 1e9;
            System.out.printf("soak: %d MiB each way in %.1f s, %.0f KiB/s each way%n", size >> 20, seconds,
                    (size >> 10) / seconds);
        } finally {
            port.close();
            NullModem.removeFolder(dir);
        }
    }
}
