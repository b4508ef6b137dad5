import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * A virtual null-modem cable: a socat pair of pseudo-terminals, one end
 * mapped to COM{@code port} through the config dir's link, the other end
 * read and written here as the peer.
 */
final class NullModem implements AutoCloseable {
    final int port;
    final Path ours;
    final Path peer;
    private final Path link;
    private final Process socat;
    private FileOutputStream out;
    private final LinkedBlockingQueue<Integer> received = new LinkedBlockingQueue<>();

    NullModem(Path dir, int port) throws Exception {
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

    /** The link through which the library finds COM{@code port}. */
    static Path comLink(int port) throws IOException {
        Path dir = Path.of(System.getenv("XDG_CONFIG_HOME"), "ruvek");
        Files.createDirectories(dir);
        return dir.resolve("com" + port);
    }

    /** Opens the peer's end and starts collecting what arrives there. */
    NullModem open() throws IOException {
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

    void write(byte[] bytes) throws IOException {
        out.write(bytes);
        out.flush();
    }

    /** The next byte the peer received, or -1 after {@code millis} without one. */
    int read(long millis) throws InterruptedException {
        Integer b = received.poll(millis, TimeUnit.MILLISECONDS);
        return b == null ? -1 : b;
    }

    /** Kills socat: both pseudo-terminals hang up. */
    void pull() {
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
        if (out != null) {
            try {
                out.close();
            } catch (IOException ignored) {
                // already hung up
            }
        }
        Files.deleteIfExists(link);
    }
}
