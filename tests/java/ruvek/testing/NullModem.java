// The JVM suites' shared fixture: a socat null-modem with one end linked as a COM port.
package ruvek.testing;

import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * A virtual null-modem cable: a socat pair of pseudo-terminals, one end
 * mapped to COM{@code port} through the config dir's link, the other end
 * read and written here as the peer. The peer reads either all the time,
 * into a queue ({@link #open}), or only when asked ({@link #openUnread}),
 * so that what nobody reads holds the sender back.
 */
public final class NullModem implements AutoCloseable {
    public final int port;
    /** Our end, the device COM{@code port} leads to. */
    public final Path ours;
    public final Path peer;
    /** The link through which the library finds COM{@code port}. */
    public final Path link;
    private final Process socat;
    private FileInputStream in; // the peer's end, when it reads only when asked
    private FileOutputStream out;
    private final LinkedBlockingQueue<Integer> received = new LinkedBlockingQueue<>();

    public NullModem(Path dir, int port) throws Exception {
        this.port = port;
        ours = dir.resolve("ours" + port);
        peer = dir.resolve("peer" + port);
        Files.deleteIfExists(ours);
        Files.deleteIfExists(peer);
        socat = new ProcessBuilder(System.getProperty("ruvek.socat", "socat"),
                "pty,raw,echo=0,link=" + ours, "pty,raw,echo=0,link=" + peer)
                .redirectErrorStream(true).redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!(Files.exists(ours) && Files.exists(peer))) {
            if (!socat.isAlive() || System.nanoTime() > deadline)
                throw new IOException("socat did not make its pseudo-terminals");
            Thread.sleep(10);
        }
        link = comLink(port);
        Files.deleteIfExists(link);
        Files.createSymbolicLink(link, ours);
    }

    /**
     * How long a test waits for what must happen: long enough for a loaded
     * machine or an emulator, and only spent when something is wrong.
     */
    public static final long PATIENCE_MS = 20_000;

    /** A condition that a test waits for. */
    public interface Condition {
        boolean holds() throws Exception;
    }

    /** Waits until {@code c} holds; fails, naming {@code what}, after {@link #PATIENCE_MS}. */
    public static void waitFor(String what, Condition c) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
        while (!c.holds()) {
            if (System.nanoTime() > deadline)
                throw new AssertionError("waited " + PATIENCE_MS + " ms for " + what);
            Thread.sleep(1);
        }
    }

    /** The link through which the library finds COM{@code port}. */
    public static Path comLink(int port) throws IOException {
        Path dir = Path.of(System.getenv("XDG_CONFIG_HOME"), "ruvek");
        Files.createDirectories(dir);
        return dir.resolve("com" + port);
    }

    /** Every byte value once, in order. */
    public static byte[] allBytes() {
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        return all;
    }

    /**
     * Deletes a test's folder and everything in it: the pseudo-terminals'
     * links (as links, never what they lead to), and what child JVMs left,
     * such as a native cache.
     */
    public static void removeFolder(Path dir) throws IOException {
        if (!Files.exists(dir, LinkOption.NOFOLLOW_LINKS))
            return;
        try (Stream<Path> all = Files.walk(dir)) {
            all.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
        Files.deleteIfExists(dir);
    }

    /** Opens the peer's end and starts collecting what arrives there, for {@link #read}. */
    public NullModem open() throws IOException {
        FileInputStream in = new FileInputStream(peer.toFile());
        out = new FileOutputStream(peer.toFile());
        Thread reader = new Thread(() -> {
            byte[] buf = new byte[4096];
            try (in) {
                for (int n; (n = in.read(buf)) > 0; )
                    for (int i = 0; i < n; i++)
                        received.add(buf[i] & 0xFF);
            } catch (IOException gone) {
                // the cable was pulled
            }
        }, "peer reader " + port);
        reader.setDaemon(true);
        reader.start();
        return this;
    }

    /** Opens the peer's end, which reads only in {@link #receive}: the rest waits in the pseudo-terminal. */
    public NullModem openUnread() throws IOException {
        in = new FileInputStream(peer.toFile());
        out = new FileOutputStream(peer.toFile());
        return this;
    }

    public void write(byte[] bytes) throws IOException {
        out.write(bytes);
        out.flush();
    }

    public void write(int b) throws IOException {
        out.write(b);
        out.flush();
    }

    /** The next byte the peer received, or -1 after {@code millis} without one (after {@link #open}). */
    public int read(long millis) throws InterruptedException {
        Integer b = received.poll(millis, TimeUnit.MILLISECONDS);
        return b == null ? -1 : b;
    }

    /** The next {@code n} bytes the peer receives, waiting for them (after {@link #openUnread}). */
    public byte[] receive(int n) throws IOException {
        byte[] got = new byte[n];
        for (int k = 0, r; k < n; k += r)
            if ((r = in.read(got, k, n - k)) < 0)
                throw new IOException("the cable was pulled after " + k + " bytes");
        return got;
    }

    /** How many received bytes wait to be read (after {@link #openUnread}). */
    public int available() throws IOException {
        return in.available();
    }

    /**
     * Waits until {@code n} bytes wait unread at our end, the library's, so
     * that its next read finds them. They are counted through a second open
     * of the device, which a port held exclusively allows only to root;
     * elsewhere this waits two seconds, which a quiet machine needs far less of.
     */
    public void waitUntilWaitingAtOurs(int n) throws Exception {
        FileInputStream device;
        try {
            device = new FileInputStream(ours.toFile());
        } catch (IOException exclusive) {
            Thread.sleep(2000);
            return;
        }
        try (device) {
            waitFor(n + " bytes at " + ours, () -> device.available() >= n);
        }
    }

    /**
     * Waits until a process holds our end's lock, as the library takes it at
     * open: then another process has the port open. {@code millis} is the
     * deadline, since a JVM can take long to start under emulation.
     */
    public void waitUntilLocked(long millis) throws Exception {
        Path device = ours.toRealPath();
        long dev = (Long) Files.getAttribute(device, "unix:dev");
        // As /proc/locks names a file: major:minor:inode, the device's numbers in hex.
        String id = String.format("%02x:%02x:%d", (dev >>> 8) & 0xfff, (dev & 0xff) | ((dev >>> 12) & 0xfff00),
                (Long) Files.getAttribute(device, "unix:ino"));
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (!java.util.Arrays.asList(Files.readString(Path.of("/proc/locks")).split("\\s+")).contains(id)) {
            if (System.nanoTime() > deadline)
                throw new AssertionError("waited " + millis + " ms for a process to open " + device);
            Thread.sleep(10);
        }
    }

    /**
     * Waits until another process has our end open and set to {@code baud}:
     * its lock is taken as the open begins, the rate once the line is set
     * up. {@code millis} is the deadline.
     */
    public void waitUntilOpenedAt(int baud, long millis) throws Exception {
        waitUntilLocked(millis);
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        String device = ours.toRealPath().toString();
        for (String speed = ""; !speed.equals(Integer.toString(baud)); Thread.sleep(50)) {
            if (System.nanoTime() > deadline)
                throw new AssertionError("waited " + millis + " ms for " + device + " to be set to " + baud + " baud");
            Process stty = new ProcessBuilder("stty", "-F", device, "speed").redirectErrorStream(true).start();
            speed = new String(stty.getInputStream().readAllBytes(), java.nio.charset.StandardCharsets.US_ASCII).trim();
            stty.waitFor();
        }
    }

    /** Reads and drops the bytes waiting, 64 at most (after {@link #openUnread}). */
    public void drop() throws IOException {
        in.read(new byte[64], 0, in.available());
    }

    /** Kills socat: both pseudo-terminals hang up. */
    public void pull() {
        socat.destroyForcibly();
        try {
            socat.waitFor(10, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void close() throws IOException {
        pull();
        for (AutoCloseable end : new AutoCloseable[] {in, out}) {
            try {
                if (end != null)
                    end.close();
            } catch (Exception ignored) {
                // already hung up
            }
        }
        Files.deleteIfExists(link);
    }
}
