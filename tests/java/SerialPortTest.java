// SerialPort's four natives on a real JVM over socat null-modems.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static ruvek.testing.NullModem.allBytes;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;

/** SerialPort on a real JVM, over socat null-modems on real pseudo-terminals. */
class SerialPortTest {
    // Only a hang runs into it; what a test waits for, it waits for with NullModem.PATIENCE_MS.
    static final Duration LIMIT = Duration.ofSeconds(120);
    static final int ABSENT = 4242; // no link, and no /dev/ttyS4241

    final SerialPort port = new SerialPort();
    Path dir;
    NullModem modem;

    @BeforeEach
    void cable() throws Exception {
        dir = Files.createTempDirectory("ruvek-test");
        modem = new NullModem(dir, 5).open();
    }

    @AfterEach
    void unplug() throws Exception {
        port.close();
        modem.close();
        NullModem.removeFolder(dir);
    }

    /** Polls recc until n bytes arrived or the time is up. */
    byte[] receive(int n, long millis) {
        ByteArrayOutputStream got = new ByteArrayOutputStream();
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (got.size() < n && System.nanoTime() < deadline) {
            int b = port.recc();
            if (b >= 0)
                got.write(b);
            else
                Thread.onSpinWait();
        }
        return got.toByteArray();
    }

    /** Whether a second JVM can open the port right now. */
    static boolean secondProcessOpens(int number) throws Exception {
        String java = ProcessHandle.current().info().command().orElse("java");
        Process p = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                "-Djava.library.path=" + System.getProperty("java.library.path"), "PortProbe",
                Integer.toString(number)).redirectErrorStream(true).start();
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the second JVM did not finish");
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        assertTrue(out.equals("true") || out.equals("false"), "second JVM said: " + out);
        return Boolean.parseBoolean(out);
    }

    @Test
    void everyByteValueCrossesUnchangedInBothDirections() {
        assertTimeoutPreemptively(LIMIT, () -> {
            assertTrue(port.init(modem.port, 115200));

            // Out: no output processing (a 0x0A stays one byte), no flow control.
            for (int b = 0; b < 256; b++)
                assertTrue(port.send(b), "send " + b);
            byte[] out = new byte[256];
            for (int i = 0; i < 256; i++)
                out[i] = (byte) modem.read(NullModem.PATIENCE_MS);
            assertArrayEquals(allBytes(), out);

            // In: 0x0D stays 0x0D, 0x11 and 0x13 are data, 0x00 and 0xFF come as themselves.
            modem.write(allBytes());
            assertArrayEquals(allBytes(), receive(256, NullModem.PATIENCE_MS));
            assertEquals(-1, modem.read(300), "the port echoed what it received");
        });
    }

    @Test
    void reccReturnsAtOnceAndAWaitingByteOnTheFirstCall() {
        assertTimeoutPreemptively(LIMIT, () -> {
            assertTrue(port.init(modem.port, 9600));
            long start = System.nanoTime();
            for (int i = 0; i < 1000; i++)
                assertEquals(-1, port.recc());
            long perCallMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start) / 1000;
            assertTrue(perCallMs < 5, "recc waited " + perCallMs + " ms with nothing to read");

            modem.write(new byte[] {(byte) 0xFF});
            modem.waitUntilWaitingAtOurs(1);
            assertEquals(0xFF, port.recc());
            assertEquals(-1, port.recc());
        });
    }

    @Test
    void sendPutsTheLowEightBitsOnTheWire() {
        assertTimeoutPreemptively(LIMIT, () -> {
            assertTrue(port.init(modem.port, 9600));
            assertTrue(port.send(0x141));
            assertEquals(0x41, modem.read(NullModem.PATIENCE_MS));
            assertEquals(-1, modem.read(200));
        });
    }

    @Test
    void anOpenPortIsExclusiveToItsProcess() {
        assertTimeoutPreemptively(Duration.ofSeconds(600), () -> {
            assertTrue(port.init(modem.port, 9600));
            assertFalse(secondProcessOpens(modem.port), "a second process opened an open port");
            assertTrue(port.close());
            assertTrue(secondProcessOpens(modem.port), "the port stayed locked after close");
        });
    }

    @Test
    void reopeningAndFailedOpensLeaveNothingBehind() {
        assertTimeoutPreemptively(Duration.ofSeconds(600), () -> {
            assertTrue(port.init(modem.port, 9600));
            assertTrue(port.init(modem.port, 19200), "init again on the open port");
            assertTrue(port.send('r'));
            assertEquals('r', modem.read(NullModem.PATIENCE_MS));

            assertFalse(port.init(ABSENT, 9600));
            assertEquals(-1, port.recc());
            assertFalse(port.send('x'));
            assertEquals(-1, modem.read(200));
            assertTrue(secondProcessOpens(modem.port), "the failed init left the first port open");

            assertFalse(port.init(modem.port, 0), "rate 0 would hang the line up");
            assertTrue(secondProcessOpens(modem.port), "the refused rate left the port open");

            assertTrue(port.init(modem.port, 9600));
            assertTrue(port.close());
            assertFalse(port.close());
            assertFalse(port.close());
        });
    }

    @Test
    void aRateThatNoConstantNamesIsSetAsGiven() throws Exception {
        // qemu-user answers the termios2 calls with ENOSYS, so these rates cannot be set there.
        assumeFalse(Boolean.getBoolean("ruvek.emulated"), "under qemu-user");
        assertTrue(port.init(modem.port, 31250), "a rate that no Bxxx constant names");
        assertTrue(port.send('m'));
        assertEquals('m', modem.read(NullModem.PATIENCE_MS));
        assertTrue(port.close());
    }

    @Test
    void aPeerThatHangsUpMidStreamNeitherCrashesNorHangs() {
        assertTimeoutPreemptively(LIMIT, () -> {
            assertTrue(port.init(modem.port, 115200));
            byte[] burst = new byte[100];
            java.util.Arrays.fill(burst, (byte) 'h');
            modem.write(burst);
            byte[] first = receive(10, NullModem.PATIENCE_MS);
            assertEquals(10, first.length);

            modem.pull();
            // What had arrived may still be read, nothing more, and then -1 for good.
            int drained = 0;
            while (port.recc() >= 0)
                assertTrue(++drained <= 90, "recc reports bytes that never arrived");
            for (int i = 0; i < 100; i++)
                assertEquals(-1, port.recc());
            for (int i = 0; i < 10; i++)
                port.send('x'); // false, or at least it returns
            port.close();

            try (NullModem fresh = new NullModem(dir, 6).open()) {
                assertTrue(port.init(fresh.port, 9600));
                assertTrue(port.send('y'));
                assertEquals('y', fresh.read(NullModem.PATIENCE_MS));
                port.close();
            }
        });
    }
}
