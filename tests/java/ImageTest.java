// ruvek.jmod in a jlink image: the image's lib/ holds the native, and the loader takes that copy first.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.jar.JarFile;
import java.util.spi.ToolProvider;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;
import ruvek.testing.Processes;

/**
 * An image of java.base and the module ruvek, made by jlink from the JDK's
 * jmods and ruvek.jmod, runs tests/jlink's echo over a null-modem.
 */
class ImageTest {
    static final Path JAR = Path.of(System.getProperty("ruvek.jar"));
    static final Path JMOD = JAR.resolveSibling("ruvek.jmod");
    static final Path JMODS = Path.of(System.getProperty("java.home"), "jmods");
    static final String PLATFORM = SerialPort.platform(System.getProperty("os.name"), System.getProperty("os.arch"));
    static Path dir;
    static Path image;
    static Path echo;

    /** Why the tests can't run here, or null. */
    static String skip;

    @BeforeAll
    static void linkTheImage() throws Exception {
        dir = Files.createTempDirectory("ruvek-image");
        image = dir.resolve("image");
        StringWriter log = new StringWriter();
        // Without jmods, a JDK built to link from its own run-time image (as Java 24 and later may be) still can.
        boolean jmods = Files.isDirectory(JMODS);
        int linked = ToolProvider.findFirst("jlink").orElseThrow().run(new PrintWriter(log), new PrintWriter(log),
                "--module-path", jmods ? JMODS + ":" + JMOD : JMOD.toString(), "--add-modules", "ruvek",
                "--output", image.toString());
        if (linked != 0 && !jmods) {
            skip = "this JDK has no jmods (" + JMODS + ") and can't link from its run-time image: " + log;
            return;
        }
        assertEquals(0, linked, "jlink: " + log);
        echo = dir.resolve("echo");
        int compiled = ToolProvider.findFirst("javac").orElseThrow().run(new PrintWriter(log), new PrintWriter(log),
                "-cp", JAR.resolveSibling("ruvek-module.jar").toString(), "-d", echo.toString(),
                Path.of(System.getProperty("ruvek.source"), "tests", "jlink", "ImageEcho.java").toString());
        assertEquals(0, compiled, "javac: " + log);
    }

    @AfterAll
    static void tidy() throws Exception {
        NullModem.removeFolder(dir);
    }

    /** Runs the echo on {@code java} with those options over a fresh null-modem: its output but the JVM's warnings, once it exited 0. */
    static String echo(Path java, List<String> options, String classPath, String... more) throws Exception {
        assumeTrue(skip == null, skip);
        try (NullModem cable = new NullModem(dir, 97)) {
            List<String> command = new ArrayList<>(List.of(java.toString()));
            command.addAll(options);
            command.addAll(List.of("-cp", classPath, "ImageEcho", cable.ours.toRealPath().toString(),
                    cable.peer.toRealPath().toString()));
            command.addAll(List.of(more));
            ProcessBuilder builder = new ProcessBuilder(command);
            builder.environment().remove("XDG_CACHE_HOME");
            String text = Processes.output(builder);
            // Newer JVMs warn of a missing temp directory and of System.load outside --enable-native-access.
            StringBuilder kept = new StringBuilder();
            for (String line : text.split("\n"))
                if (!line.isEmpty() && !line.startsWith("WARNING: "))
                    kept.append(line).append('\n');
            return kept.toString();
        }
    }

    static Path imageJava() {
        return image.resolve("bin/java");
    }

    static String imageLib() {
        return image.resolve("lib").resolve(System.mapLibraryName("ruvekline")).toString();
    }

    /** The terminal's --version in an image, which has no jar manifest: the module's version, and the image's native. */
    @Test
    void theImagesTerminalNamesItsVersionAndNative() throws Exception {
        assumeTrue(skip == null, skip);
        Process p = new ProcessBuilder(imageJava().toString(), "-m", "ruvek", "--version").redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "still running");
        assertEquals(0, p.exitValue(), said);
        assertTrue(said.contains("ruvek " + System.getProperty("ruvek.version") + "\n"), said);
        assertTrue(said.contains("native " + imageLib() + "\n"), said);
    }

    @Test
    void theImageHoldsTheModulesNativeInItsLib() throws Exception {
        assumeTrue(skip == null, skip);
        try (JarFile module = new JarFile(JAR.resolveSibling("ruvek-module.jar").toFile())) {
            assertArrayEquals(module.getInputStream(module.getEntry("natives/" + PLATFORM + "/libruvekline.so")).readAllBytes(),
                    Files.readAllBytes(Path.of(imageLib())));
        }
    }

    @Test
    void itEchoesWhereNeitherTheTempDirectoryNorTheHomeExists() throws Exception {
        String out = echo(imageJava(), List.of("-Djava.io.tmpdir=" + dir.resolve("no-tmp"), "-Duser.home=" + dir.resolve("no-home")), echo.toString());
        assertEquals("echoed\nloaded " + imageLib() + "\n", out);
    }

    /** A cache it could write is left alone: the image's copy comes first. The plain JDK with the jar still uses the cache. */
    @Test
    void theImagesCopyComesFirstAndJarUsersKeepTheCache() throws Exception {
        Path tmp = Files.createTempDirectory(dir, "tmp");
        Path home = Files.createTempDirectory(dir, "home");
        List<String> usable = List.of("-Djava.io.tmpdir=" + tmp, "-Duser.home=" + home);
        assertEquals("echoed\nloaded " + imageLib() + "\n", echo(imageJava(), usable, echo.toString()));
        try (var left = Files.list(tmp); var inHome = Files.list(home)) {
            assertEquals(0, left.count() + inHome.count(), "the image wrote a cache");
        }
        String out = echo(Path.of(System.getProperty("java.home"), "bin", "java"), usable, JAR + ":" + echo);
        assertTrue(out.startsWith("echoed\nloaded " + tmp.toRealPath() + "/ruvek-"), out);
    }

    /**
     * A second class loader can't load the file that the first one holds:
     * the module's own copy of the native, cached, serves it.
     */
    @Test
    void aSecondLayerTakesTheModulesOwnCopy() throws Exception {
        Path tmp = Files.createTempDirectory(dir, "tmp");
        String out = echo(imageJava(), List.of("-Djava.io.tmpdir=" + tmp, "-Duser.home=" + dir.resolve("no-home")), echo.toString(), "layer");
        assertTrue(out.startsWith("echoed\nechoed\nloaded " + imageLib() + ":" + tmp.toRealPath() + "/ruvek-"), out);
        assertTrue(out.endsWith("/libruvekline-2.so\n"), out);
    }
}
