// Raw mode for a tty on standard input, so that each key goes at once; its settings given back on every exit.
package ruvek.terminal;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;
import ruvek.internal.Os;

/**
 * The tty on standard input, switched to raw mode by stty(1), which Java 8
 * offers no other way to reach. stty is run with our own standard input as
 * its own, so it answers for descriptor 0 itself: {@code stty -g} succeeds
 * only when that is a tty (not a pipe or a file, even with a tty at
 * /dev/tty), and what it prints is what we give back. System.console() alone
 * can't tell: newer JDKs return one when standard input is redirected.
 */
final class RawTty {
    private final String stty;
    private final String saved;
    private boolean restored;

    private RawTty(String stty, String saved) {
        this.stty = stty;
        this.saved = saved;
    }

    /**
     * Puts standard input's tty in raw mode: keys unbuffered and unechoed,
     * Ctrl-C and the like as bytes rather than signals; output still
     * processed, so that the tty shows an LF as a new line. A shutdown hook
     * gives the settings back whatever ends the JVM, short of SIGKILL.
     *
     * @return the tty, or null when standard input is no tty or there is no stty (Windows)
     */
    static RawTty enter() {
        if (Os.current() == Os.WINDOWS)
            return null;
        String stty = null;
        for (String path : new String[] {"/bin/stty", "/usr/bin/stty"})
            if (new File(path).canExecute()) {
                stty = path;
                break;
            }
        String saved = stty == null ? null : run(stty, "-g");
        if (saved == null || saved.isEmpty() || saved.indexOf(' ') >= 0)
            return null;
        RawTty tty = new RawTty(stty, saved);
        // Before the change, so that no signal can come between it and the hook.
        Runtime.getRuntime().addShutdownHook(new Thread(tty::restore, "tty restore"));
        if (run(stty, "raw", "-echo", "opost") == null) {
            tty.restore();
            return null;
        }
        return tty;
    }

    /** Gives the tty its settings back; once, whoever calls first. */
    synchronized void restore() {
        if (restored)
            return;
        restored = true;
        if (run(stty, saved) == null)
            System.err.println("could not give the terminal its settings back; \"stty sane\" does");
    }

    /** Runs stty on our standard input; what it printed, or null when it failed or hung. */
    private static String run(String... command) {
        try {
            Process p = new ProcessBuilder(command).redirectInput(ProcessBuilder.Redirect.INHERIT)
                    .redirectError(ProcessBuilder.Redirect.to(new File("/dev/null"))).start();
            p.getOutputStream().close();
            // A JVM in the background would stop stty for changing the tty (SIGTTOU): not forever.
            // What stty prints fits in the pipe, so it is read once stty is done.
            if (!p.waitFor(5, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return null;
            }
            String out = readAll(p.getInputStream());
            return p.exitValue() == 0 ? out.trim() : null;
        } catch (IOException | SecurityException e) {
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }

    private static String readAll(InputStream in) throws IOException {
        ByteArrayOutputStream all = new ByteArrayOutputStream();
        byte[] buf = new byte[256];
        try (InputStream from = in) {
            for (int n; (n = from.read(buf)) > 0; )
                all.write(buf, 0, n);
        }
        return new String(all.toByteArray(), StandardCharsets.US_ASCII);
    }
}
