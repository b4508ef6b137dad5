// The JVM suites' runs of a child process that must succeed: its output, both streams, once it exited 0.
package ruvek.testing;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

public final class Processes {
    private Processes() {}

    /** Runs the builder's command, its error stream joined to its output; fails unless it exits 0 within 120 s. */
    public static String output(ProcessBuilder builder) throws Exception {
        Process p = builder.redirectErrorStream(true).start();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (InputStream in = p.getInputStream()) {
            in.transferTo(out);
        }
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "still running: " + builder.command());
        String text = out.toString(StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), String.join(" ", builder.command()) + "\n" + text);
        return text;
    }
}
