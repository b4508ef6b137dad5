// Faults under SerialPort on real pseudo-terminals, each followed by an init that works.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;

/**
 * Faults on real pseudo-terminals: a peer that vanishes, a device link that
 * goes away, a port held by another process, a peer that stops reading. No
 * crash, no hang, no byte that was not sent, and the next init works.
 */
class FaultTest {
    // Only a hang runs into it; what a test waits for, it waits for with NullModem.PATIENCE_MS.
    static final Duration LIMIT = Duration.ofSeconds(300);

    final SerialPort port = new SerialPort();
    Path dir;

    @BeforeEach
    void dir() throws Exception {
        dir = Files.createTempDirectory("ruvek-fault");
    }

    @AfterEach
    void tidy() throws Exception {
        port.close();
        NullModem.removeFolder(dir);
    }

    /** After a fault: a fresh cable on the same port number works end to end. */
    void nextInitWorks(int number) throws Exception {
        try (NullModem fresh = new NullModem(dir, number).open()) {
            assertTrue(port.init(number, 9600), "init after the fault");
            assertTrue(port.send('k'));
            assertEquals('k', fresh.read(NullModem.PATIENCE_MS));
            fresh.write(new byte[] {'j'});
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(NullModem.PATIENCE_MS);
            int b;
            while ((b = port.recc()) < 0 && System.nanoTime() < deadline)
                Thread.onSpinWait();
            assertEquals('j', b);
            assertTrue(port.close());
        }
    }

    @Test
    void thePeerVanishesWhileBothDirectionsAreBusy() {
        assertTimeoutPreemptively(LIMIT, () -> {
            NullModem modem = new NullModem(dir, 21).open();
            assertTrue(port.init(21, 115200));
            AtomicBoolean stop = new AtomicBoolean();
            Thread sender = new Thread(() -> {
                while (!stop.get())
                    port.send('s');
            });
            sender.start();
            byte[] burst = new byte[2000];
            new Random(1).nextBytes(burst);
            modem.write(burst);
            // Take part of it, then pull the cable with more on the way.
            int got = 0;
            while (got < 100)
                if (port.recc() >= 0)
                    got++;
            modem.pull();
            int b;
            while ((b = port.recc()) >= 0)
                assertTrue(++got <= burst.length, "more bytes than the peer sent");
            assertEquals(-1, b);
            stop.set(true);
            sender.join(NullModem.PATIENCE_MS);
            assertFalse(sender.isAlive(), "send hangs after the hang-up");
            modem.close();
            port.close();
            nextInitWorks(21);
        });
    }

    @Test
    void theDeviceLinkGoesAwayWhileThePortIsOpen() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 22).open()) {
                assertTrue(port.init(22, 9600));
                Files.delete(NullModem.comLink(22));
                // The open port is the device, not the name: it goes on working.
                assertTrue(port.send('a'));
                assertEquals('a', modem.read(NullModem.PATIENCE_MS));
                assertTrue(port.close());
                assertFalse(port.init(22, 9600), "opened a port whose link is gone");
                assertEquals(-1, port.recc());
            }
            nextInitWorks(22);
        });
    }

    @Test
    void initFailsCleanlyWhileAnotherProcessHoldsThePort() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 23).open()) {
                String java = ProcessHandle.current().info().command().orElse("java");
                Process holder = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                        "-Djava.library.path=" + System.getProperty("java.library.path"), "PortProbe", "23",
                        "hold").redirectError(ProcessBuilder.Redirect.INHERIT).start();
                BufferedReader said = new BufferedReader(
                        new InputStreamReader(holder.getInputStream(), StandardCharsets.UTF_8));
                assertEquals("true", said.readLine(), "the holder could not open the port");

                assertFalse(port.init(23, 9600));
                assertEquals(-1, port.recc());
                assertFalse(port.send('x'));
                assertFalse(port.close());

                holder.getOutputStream().close(); // let go
                assertTrue(holder.waitFor(120, TimeUnit.SECONDS));
                assertTrue(port.init(23, 9600), "init once the holder let go");
                assertTrue(port.send('h'));
                assertEquals('h', modem.read(NullModem.PATIENCE_MS));
            }
        });
    }

    @Test
    void aPeerThatStopsReadingHoldsSendBackAndLosesNothing() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 24)) {
                assertTrue(port.init(24, 115200));
                byte[] data = new byte[256 * 1024]; // far more than the queues between us hold
                new Random(2).nextBytes(data);
                Thread sender = new Thread(() -> {
                    for (byte b : data)
                        assertTrue(port.send(b));
                });
                sender.start();
                // Nobody reads the peer's end yet: the sender must stall, not drop.
                Thread.sleep(1500);
                assertTrue(sender.isAlive(), "all of it went out with nobody reading");

                modem.open();
                byte[] got = new byte[data.length];
                for (int i = 0; i < got.length; i++) {
                    int b = modem.read(NullModem.PATIENCE_MS);
                    assertTrue(b >= 0, "stream ended after " + i + " bytes");
                    got[i] = (byte) b;
                }
                sender.join(NullModem.PATIENCE_MS);
                assertArrayEquals(data, got);
                assertEquals(-1, modem.read(200));
            }
        });
    }
}
