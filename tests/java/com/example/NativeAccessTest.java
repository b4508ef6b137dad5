// On a JDK of 24 or later: each documented way of starting loads the natives quietly, and a denial names its flag.
package com.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

class NativeAccessTest {
    static final Path JAR = Path.of(System.getProperty("ruvek.jar", "ruvek.jar"));
    static final Path MODULE_JAR = JAR.resolveSibling("ruvek-module.jar");
    static String jdk; // a JDK of 24 or later, or null when this machine has none
    static Path dir;
    static NullModem cable;

    @BeforeAll
    static void setUp() throws Exception {
        jdk = newJdk();
        assumeTrue(jdk != null, "no JDK of 24 or later in /usr/lib/jvm: native access is not restricted before 24");
        dir = Files.createTempDirectory("ruvek-access");
        cable = new NullModem(dir, 67);
        cable.open();
    }

    @AfterAll
    static void tearDown() throws Exception {
        if (cable != null)
            cable.close();
        if (dir != null)
            NullModem.removeFolder(dir); // the children's native cache too
    }

    /** The newest JDK under /usr/lib/jvm whose release file says 24 or later. */
    static String newJdk() throws IOException {
        Path jvms = Path.of("/usr/lib/jvm");
        if (!Files.isDirectory(jvms))
            return null;
        String best = null;
        int bestMajor = 23;
        try (Stream<Path> s = Files.list(jvms)) {
            for (Path home : (Iterable<Path>) s::iterator) {
                Path release = home.resolve("release"), bin = home.resolve("bin/java");
                if (!Files.isRegularFile(release) || !Files.isExecutable(bin) || Files.isSymbolicLink(home))
                    continue;
                for (String line : Files.readAllLines(release)) {
                    if (!line.startsWith("JAVA_VERSION="))
                        continue;
                    String v = line.substring("JAVA_VERSION=".length()).replace("\"", "");
                    int major = Integer.parseInt(v.split("[.+-]")[0]);
                    if (major > bestMajor) {
                        bestMajor = major;
                        best = bin.toString();
                    }
                }
            }
        }
        return best;
    }

    record Run(String err, int exit) {}

    /** The new JDK with these arguments; "hi" on its input. */
    static Run run(String... args) throws Exception {
        List<String> command = new ArrayList<>(List.of(jdk, "-Djava.io.tmpdir=" + dir));
        command.addAll(Arrays.asList(args));
        ProcessBuilder b = new ProcessBuilder(command);
        b.environment().remove("LD_LIBRARY_PATH");
        b.redirectOutput(ProcessBuilder.Redirect.DISCARD);
        Process p = b.start();
        try (OutputStream in = p.getOutputStream()) {
            in.write("hi".getBytes(StandardCharsets.US_ASCII));
        }
        String err = new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the JVM did not finish");
        return new Run(err, p.exitValue());
    }

    /** The terminal started each documented way sends its input, and the JVM warns of nothing. */
    @Test
    void everyDocumentedWayStartsWithoutAWarning() throws Exception {
        String port = cable.ours.toString();
        String[][] ways = {
            {"-jar", JAR.toString(), "--linger", "100", port, "9600"},
            {"--enable-native-access=ALL-UNNAMED", "-cp", JAR.toString(), "ruvek.terminal.SerialTerminal", "--linger",
                "100", port, "9600"},
            {"--enable-native-access=ruvek", "-p", MODULE_JAR.toString(), "-m", "ruvek", "--linger", "100", port, "9600"},
        };
        for (String[] way : ways) {
            Run r = run(way);
            String how = String.join(" ", way);
            assertEquals(0, r.exit(), how + ": " + r.err());
            assertFalse(r.err().contains("WARNING"), how + " warned: " + r.err());
            for (char c : "hi".toCharArray())
                assertEquals((int) c, cable.read(NullModem.PATIENCE_MS), how + ": the bytes sent");
        }
    }

    /** A jlink image of the new JDK, linked with the documented option, runs the terminal without a warning. */
    @Test
    void aJlinkImageWithTheDocumentedOptionStartsWithoutAWarning() throws Exception {
        Path jmod = JAR.resolveSibling("ruvek.jmod");
        assumeTrue(Files.exists(jmod), "no ruvek.jmod beside the jar");
        Path jlink = Path.of(jdk).resolveSibling("jlink"), image = dir.resolve("image");
        // A JDK without jmods links from its own run-time image.
        Path jmods = Path.of(jdk).getParent().getParent().resolve("jmods");
        String modulePath = Files.isDirectory(jmods) ? jmods + File.pathSeparator + jmod : jmod.toString();
        Process p = new ProcessBuilder(jlink.toString(), "--module-path", modulePath, "--add-modules", "ruvek",
                "--add-options=--enable-native-access=ruvek", "--output", image.toString())
                .redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(300, TimeUnit.SECONDS), "jlink did not finish");
        assertEquals(0, p.exitValue(), "jlink: " + said);
        String was = jdk;
        try {
            jdk = image.resolve("bin/java").toString();
            Run r = run("-m", "ruvek", "--linger", "100", cable.ours.toString(), "9600");
            assertEquals(0, r.exit(), r.err());
            assertFalse(r.err().contains("WARNING"), "the image warned: " + r.err());
            for (char c : "hi".toCharArray())
                assertEquals((int) c, cable.read(NullModem.PATIENCE_MS), "the bytes sent from the image");
        } finally {
            jdk = was;
        }
    }

    /** Denied, the first call and every later one name the flag; nothing is opened. */
    @Test
    void aDenialNamesTheFlagOnEveryCall() throws Exception {
        String classes = Path.of(Twice.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        Run r = run("--illegal-native-access=deny", "-cp", JAR + File.pathSeparator + classes,
                Twice.class.getName(), cable.ours.toString());
        assertEquals(0, r.exit(), r.err());
        String[] said = r.err().trim().split("\n");
        assertEquals(2, said.length, r.err());
        for (String s : said) {
            assertTrue(s.startsWith("ruvek.SerialPortException: "), s);
            assertTrue(s.contains("denies native access to the class path; start it with "
                    + "--enable-native-access=ALL-UNNAMED"), s);
        }

        r = run("--illegal-native-access=deny", "-p", MODULE_JAR.toString(), "-m", "ruvek", cable.ours.toString(), "9600");
        assertEquals(1, r.exit(), r.err());
        assertTrue(r.err().contains("start it with --enable-native-access=ruvek"), r.err());
    }

    /** Opens the device twice, and prints why each open failed on standard error. */
    public static final class Twice {
        public static void main(String[] args) {
            for (int i = 0; i < 2; i++) {
                try (SerialLine line = SerialLine.open(args[0], 9600)) {
                    System.err.println("opened " + line);
                } catch (Exception e) {
                    System.err.println(e.getClass().getName() + ": " + e.getMessage());
                }
            }
        }
    }
}
