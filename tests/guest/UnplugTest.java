// The FT232 adapter pulled out under every call a line can be in, and plugged back, through ftdi_sio.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.LineSettings;
import ruvek.NoSuchPortException;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.SerialPorts;

/**
 * Each case opens the adapter, starts a call, pulls the adapter out through
 * QEMU's monitor and checks what the call says, how soon, and what is left;
 * then plugs a new one in. Bytes that arrived before a pull are delivered
 * first: that is checked on ptys (SerialLineTest), since here unread bytes
 * hold up the guest kernel's own disconnect until the line closes.
 */
@SuppressWarnings("try") // lines opened only to be closed
class UnplugTest {
    /** How soon the call in progress must end once the device has gone, here under emulation. */
    static final long ENDS_WITHIN_MS = 10_000;

    long fdsBefore, threadsBefore;
    SerialLine line; // closed after each case, whatever happened

    SerialLine open(LineSettings settings) throws IOException {
        return line = SerialLine.open(Rig.ADAPTER, settings);
    }

    @BeforeEach
    void plugged() throws Exception {
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "no adapter came");
        Rig.ask("mode usb sink");
        fdsBefore = fds();
        threadsBefore = Thread.activeCount();
    }

    @AfterEach
    void replugged() throws Exception {
        if (line != null)
            line.close();
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
    }

    static long fds() throws IOException {
        try (var s = Files.list(Path.of("/proc/self/fd"))) {
            return s.count();
        }
    }

    /** Pulls the adapter out; returns when its node is gone, with the time of the pull. */
    static long pull() throws Exception {
        long at = System.nanoTime();
        Rig.ask("unplug");
        return at;
    }

    static long msSince(long nanos) {
        return TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - nanos);
    }

    /** What a call in progress gave when the adapter went: a PortDisconnectedException, and soon. */
    void endsWithDisconnect(String what, CompletableFuture<IOException> call) throws Exception {
        Thread.sleep(300); // into the call
        assertFalse(call.isDone(), what + " ended before the pull: " + (call.isDone() ? call.get() : null));
        long pulled = pull();
        IOException e = call.get(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS);
        long ms = msSince(pulled);
        System.out.println("unplug during " + what + ": " + e + " after " + ms + " ms");
        assertTrue(e instanceof PortDisconnectedException, what + " gave " + e);
        assertTrue(ms < ENDS_WITHIN_MS, what + " ended " + ms + " ms after the pull");
    }

    /** After a disconnect: the line closes at once and leaves nothing; the port is gone, then back. */
    void afterwards(SerialLine line) throws Exception {
        long start = System.nanoTime();
        line.close();
        assertTrue(msSince(start) < 2000, "close took " + msSince(start) + " ms");
        assertTrue(Rig.waitFor(() -> !Rig.present(Rig.ADAPTER)), "the adapter's node stayed");
        assertTrue(SerialPorts.list().stream().noneMatch(p -> p.device().equals(Rig.ADAPTER)), "still listed");
        assertThrows(NoSuchPortException.class, () -> SerialLine.open(Rig.ADAPTER, 115200));
        assertTrue(Rig.waitFor(() -> fds() <= fdsBefore), "descriptors: " + fdsBefore + " before, " + fds() + " after");
        assertTrue(Rig.waitFor(() -> Thread.activeCount() <= threadsBefore), "threads left running");

        Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "the new adapter never came");
        assertThrows(SerialPortException.class, () -> line.getOutputStream().write('x'), "the old line came back");
        assertTrue(Rig.waitFor(() -> SerialPorts.list().stream()
                .anyMatch(p -> p.device().equals(Rig.ADAPTER) && "0403".equals(p.vendorId()))), "not listed again");
        Rig.ask("mode usb sink");
        try (SerialLine again = SerialLine.open(Rig.ADAPTER, 115200)) {
            again.getOutputStream().write(new byte[100]);
            again.drain();
            assertTrue(Rig.waitFor(() -> Rig.ask("took usb").startsWith("100 ")), "the new adapter carried nothing");
        }
    }

    interface Call {
        void on(SerialLine line) throws IOException;
    }

    CompletableFuture<IOException> during(SerialLine line, Call call) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                call.on(line);
                return new IOException("the call returned without the device");
            } catch (IOException e) {
                return e;
            }
        });
    }

    @Test
    void aBlockedReadEndsWithADisconnect() throws Exception {
        SerialLine line = open(LineSettings.of(115200));
        endsWithDisconnect("a blocked read", during(line, l -> {
            for (;;)
                l.getInputStream().read();
        }));
        assertThrows(PortDisconnectedException.class, () -> line.getInputStream().read(), "the next read");
        afterwards(line);
    }

    @Test
    void aTimedReadEndsWithADisconnect() throws Exception {
        SerialLine line = open(LineSettings.of(115200));
        line.setReadTimeout(60_000);
        endsWithDisconnect("a timed read", during(line, l -> l.getInputStream().read()));
        afterwards(line);
    }

    @Test
    void aLargeWriteEndsWithADisconnect() throws Exception {
        SerialLine line = open(LineSettings.of(115200));
        endsWithDisconnect("a large write", during(line, l -> {
            for (;;)
                l.getOutputStream().write(new byte[1 << 20]);
        }));
        afterwards(line);
    }

    /**
     * QEMU's FT232 keeps no flow control, so nothing holds a drain up for
     * long: the pull meets a drain or the write before it, and either ends so.
     */
    @Test
    void aDrainEndsWithADisconnect() throws Exception {
        SerialLine line = open(LineSettings.of(115200));
        endsWithDisconnect("drains", during(line, l -> {
            for (;;) {
                l.getOutputStream().write(new byte[64 << 10]);
                l.drain();
            }
        }));
        afterwards(line);
    }

    @Test
    void changingTheSettingsEndsWithADisconnectNeverARefusal() throws Exception {
        SerialLine line = open(LineSettings.of(115200));
        LineSettings[] turns = {LineSettings.of(19200).withFormat("7E1"), LineSettings.of(115200)};
        endsWithDisconnect("setSettings", during(line, l -> {
            for (int i = 0; ; i++)
                l.setSettings(turns[i % 2]);
        }));
        afterwards(line);
    }

    @Test
    void anOpenAsTheAdapterGoesFindsNoPortOrADisconnectNothingElse() throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        AtomicReference<Throwable> odd = new AtomicReference<>();
        int[] opened = new int[1];
        Thread opener = new Thread(() -> {
            while (!stop.get()) {
                try (SerialLine line = SerialLine.open(Rig.ADAPTER, LineSettings.of(9600).withFormat("7E1"))) {
                    opened[0]++;
                } catch (NoSuchPortException | PortDisconnectedException expected) {
                    // before the pull, or while it took the device away
                } catch (Throwable t) {
                    odd.compareAndSet(null, t);
                }
            }
        });
        opener.start();
        Thread.sleep(1000);
        pull();
        assertTrue(Rig.waitFor(() -> !Rig.present(Rig.ADAPTER)));
        Thread.sleep(500);
        stop.set(true);
        opener.join(Rig.PATIENCE_MS);
        assertTrue(opened[0] > 0, "no open worked before the pull");
        assertEquals(null, odd.get(), "an open as the adapter went gave " + odd.get());
        Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)));
        SerialLine.open(Rig.ADAPTER, 115200).close();
    }

    /** SerialPort, the unnamed package's, on the adapter through a link of its own: COM9. */
    @Test
    void serialPortSeesAnUnplugAsNothingToReadAndNothingSentWithoutHanging() throws Exception {
        Path links = Path.of(System.getenv("XDG_CONFIG_HOME"), "ruvek");
        Files.createDirectories(links);
        Files.deleteIfExists(links.resolve("com9"));
        Files.createSymbolicLink(links.resolve("com9"), Path.of(Rig.ADAPTER));
        Class<?> type = Class.forName("SerialPort");
        Object port = type.getConstructor().newInstance();
        Method init = type.getMethod("init", int.class, int.class), recc = type.getMethod("recc"),
                send = type.getMethod("send", int.class), close = type.getMethod("close");
        assertEquals(true, init.invoke(port, 9, 115200));
        Rig.ask("send usb 61");
        assertTrue(Rig.waitFor(() -> (int) recc.invoke(port) == 'a'), "SerialPort read nothing");
        AtomicBoolean stop = new AtomicBoolean();
        CompletableFuture<Boolean> sending = CompletableFuture.supplyAsync(() -> {
            try {
                boolean last = true;
                while (!stop.get())
                    last = (boolean) send.invoke(port, 's');
                return last;
            } catch (ReflectiveOperationException e) {
                throw new IllegalStateException(e);
            }
        });
        Thread.sleep(300);
        pull();
        assertTrue(Rig.waitFor(() -> !Rig.present(Rig.ADAPTER)));
        Thread.sleep(500);
        for (int i = 0; i < 100; i++)
            assertEquals(-1, (int) recc.invoke(port));
        stop.set(true);
        assertFalse(sending.get(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS), "send still reported success");
        close.invoke(port);
        Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)));
        assertEquals(true, init.invoke(port, 9, 115200), "init after the replug");
        close.invoke(port);
    }
}
