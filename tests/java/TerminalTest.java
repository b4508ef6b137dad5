// The jar's terminal as a person uses it: typed in tmux, each key sent at once, the tty given back after.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;

class TerminalTest {
    /** How long a condition may take: a JVM starting on two loaded cores. */
    static final long PATIENCE_MS = 30_000;

    /** A tmux of our own (its own server, so nobody else's sessions are touched), one window 120 by 30. */
    static final class Pane implements AutoCloseable {
        static final java.util.concurrent.atomic.AtomicInteger COUNT = new java.util.concurrent.atomic.AtomicInteger();
        final String socket = "ruvek-terminal-test-" + ProcessHandle.current().pid() + "-" + COUNT.incrementAndGet();

        Pane(String shellCommand) throws Exception {
            Assumptions.assumeTrue(tmux("-V").startsWith("tmux"), "tmux is not installed");
            tmux("new-session", "-d", "-s", "t", "-x", "120", "-y", "30", shellCommand);
        }

        String tmux(String... args) throws Exception {
            List<String> command = new ArrayList<>(List.of("tmux", "-L", socket));
            command.addAll(Arrays.asList(args));
            Process p;
            try {
                p = new ProcessBuilder(command).redirectErrorStream(true).start();
            } catch (java.io.IOException missing) {
                return "";
            }
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertTrue(p.waitFor(30, TimeUnit.SECONDS), "tmux hung");
            return out;
        }

        String screen() throws Exception {
            return tmux("capture-pane", "-p", "-t", "t");
        }

        void keys(String... keys) throws Exception {
            List<String> args = new ArrayList<>(List.of("send-keys", "-t", "t"));
            args.addAll(Arrays.asList(keys));
            tmux(args.toArray(new String[0]));
        }

        /** Waits until the screen shows {@code text}; fails with the screen after PATIENCE_MS. */
        String await(String text) throws Exception {
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
            for (String s = screen(); ; s = screen()) {
                if (s.contains(text))
                    return s;
                if (System.nanoTime() > deadline)
                    throw new AssertionError("waited " + PATIENCE_MS + " ms for \"" + text + "\" on the screen:\n" + s);
                Thread.sleep(50);
            }
        }

        /** The terminal's JVM: the shell's child. */
        ProcessHandle java() throws Exception {
            long shell = Long.parseLong(tmux("list-panes", "-t", "t", "-F", "#{pane_pid}").trim());
            return ProcessHandle.of(shell).orElseThrow().children().findFirst().orElseThrow();
        }

        @Override
        public void close() throws java.io.IOException {
            // The server and its shells end with it.
            Process kill = new ProcessBuilder("tmux", "-L", socket, "kill-server").redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            try {
                kill.waitFor(30, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** A shell that runs the terminal, then says how it ended and what the tty's settings are; tmux's sh runs it. */
    static String session(String... args) {
        StringBuilder run = new StringBuilder("'").append(ProcessHandle.current().info().command().orElse("java"))
                .append("' '").append(JarTest.TMPDIR).append("' -jar '").append(JarTest.JAR).append("'");
        for (String a : args)
            run.append(" '").append(a).append("'");
        return run + "; echo exit $?; stty -a; exec sleep 600";
    }

    /** The next byte at the far end, within PATIENCE_MS. */
    static int next(NullModem modem) throws Exception {
        return modem.read(PATIENCE_MS);
    }

    /** After the terminal has ended: its exit code shown, and the tty back in line mode with echo and signals. */
    static void assertEndedAndRestored(Pane pane, int exit) throws Exception {
        pane.await("exit " + exit + "\n");
        String screen = pane.await("line = "); // stty -a's first line
        String after = screen.substring(screen.indexOf("exit " + exit + "\n"));
        List<String> words = Arrays.asList(after.split("[\\s;]+"));
        for (String mode : new String[] {"icanon", "echo", "isig", "icrnl", "opost"})
            assertTrue(words.contains(mode), mode + " not restored:\n" + after);
    }

    @Test
    void keysGoAtOnceTheDevicesBytesShowAndTheQuitKeyGivesTheTtyBack() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-terminal");
        try (NullModem modem = new NullModem(dir, 92).open(); Pane pane = new Pane(session(
                modem.ours.toRealPath().toString(), "9600"))) {
            String banner = pane.await("Ctrl-] quits");
            assertTrue(banner.contains("ruvek terminal on " + modem.ours.toRealPath() + ", 9600 8N1, flow control NONE; "),
                    banner);
            pane.keys("-l", "a");
            assertEquals('a', next(modem), "a key was not sent at once");
            pane.keys("-l", "b");
            assertEquals('b', next(modem));
            // Enter as the tty gives it, CR; Ctrl-C to the device, not to the terminal.
            pane.keys("Enter", "C-c");
            assertEquals('\r', next(modem));
            assertEquals(3, next(modem));
            modem.write("hello from the far end\r\n".getBytes(StandardCharsets.US_ASCII));
            pane.await("hello from the far end");
            pane.keys("C-]");
            assertEndedAndRestored(pane, 0);
            assertEquals(-1, modem.read(300), "the quit key reached the device");
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    @Test
    void hexLinesAndTheChosenEnterShowAndAKillStillGivesTheTtyBack() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-terminal");
        try (NullModem modem = new NullModem(dir, 93).open(); Pane pane = new Pane(session(
                "--hex", "--eol", "crlf", modem.ours.toRealPath().toString(), "9600"))) {
            pane.await("Ctrl-] quits");
            pane.keys("-l", "x");
            assertEquals('x', next(modem));
            pane.keys("Enter");
            assertEquals('\r', next(modem));
            assertEquals('\n', next(modem));
            // A short burst shows once the port is quiet; the next line counts on from it.
            modem.write("AB\r\n".getBytes(StandardCharsets.US_ASCII));
            pane.await("00000000  41 42 0d 0a" + " ".repeat(39) + "|AB..|");
            modem.write("0123456789abcdefXY".getBytes(StandardCharsets.US_ASCII));
            pane.await("00000004  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|");
            pane.await("00000014  58 59" + " ".repeat(45) + "|XY|");
            pane.java().destroy(); // SIGTERM
            assertEndedAndRestored(pane, 143);
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    @Test
    void aDeviceThatGoesEndsItWithTheTtyGivenBack() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-terminal");
        try (NullModem modem = new NullModem(dir, 94).open(); Pane pane = new Pane(session(
                modem.ours.toRealPath().toString(), "9600"))) {
            pane.await("Ctrl-] quits");
            modem.pull();
            pane.await("disconnected; the device is gone");
            assertEndedAndRestored(pane, 1);
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    @Test
    void pipedInputSendsEachNewlineAsTheChosenEndAndShowsNoBanner() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-terminal");
        try (NullModem modem = new NullModem(dir, 91).open()) {
            Thread peer = new Thread(() -> {
                try {
                    for (int b; (b = modem.read(Long.MAX_VALUE)) >= 0; )
                        modem.write(b == '\r' ? "<CR>".getBytes(StandardCharsets.US_ASCII)
                                : b == '\n' ? "<LF>".getBytes(StandardCharsets.US_ASCII) : new byte[] {(byte) b});
                } catch (Exception e) {
                    // the test is over
                }
            });
            peer.setDaemon(true);
            peer.start();
            String echoed = "a<CR>b<CR>c<CR>";
            JarTest.Run run = JarTest.converse(JarTest.bytes("a\nb\r\nc\n"), echoed, "-jar", JarTest.JAR, "--eol", "cr",
                    "--linger", "200", modem.ours.toRealPath().toString(), "9600");
            assertEquals(0, run.exit(), run.err());
            assertEquals(echoed, run.out());
            assertEquals("", run.err());
        } finally {
            NullModem.removeFolder(dir);
        }
    }
}
