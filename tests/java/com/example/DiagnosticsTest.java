// The loader told and steered: its choice and each open's steps logged when asked for, and ruvek.library.path.
package com.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ruvek.LineSettings;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

class DiagnosticsTest {
    static Path dir;
    static NullModem cable;

    @BeforeAll
    static void setUp() throws Exception {
        dir = Files.createTempDirectory("ruvek-log");
        cable = new NullModem(dir, 68);
    }

    @AfterAll
    static void tearDown() throws IOException {
        if (cable != null)
            cable.close();
        NullModem.removeFolder(dir);
    }

    /** What a fresh JVM running {@link Opener} prints on standard error, with these options first. */
    static String stderr(String... options) throws Exception {
        String classes = Path.of(Opener.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        List<String> command = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElse("java"),
                "-Djava.io.tmpdir=" + System.getProperty("java.io.tmpdir")));
        command.addAll(Arrays.asList(options));
        command.addAll(List.of("-cp", System.getProperty("ruvek.jar") + ":" + classes, Opener.class.getName(),
                cable.ours.toString(), dir.resolve("no-such-device").toString()));
        ProcessBuilder b = new ProcessBuilder(command).redirectOutput(ProcessBuilder.Redirect.DISCARD);
        b.environment().remove("LD_LIBRARY_PATH");
        Process p = b.start();
        String err = new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the JVM did not finish");
        assertEquals(0, p.exitValue(), err);
        return err;
    }

    static String logging() throws IOException {
        Path config = dir.resolve("logging.properties");
        Files.writeString(config, "handlers = java.util.logging.ConsoleHandler\n"
                + "java.util.logging.ConsoleHandler.level = FINE\n"
                + "java.util.logging.SimpleFormatter.format = %4$s %5$s%n\n"
                + "ruvek.level = FINE\n");
        return "-Djava.util.logging.config.file=" + config;
    }

    @Test
    void fineRecordsOnlyWhenLoggingIsConfigured() throws Exception {
        assertEquals("", stderr(), "nothing is printed by default");

        String said = stderr(logging());
        String device = cable.ours.toString();
        for (String expected : new String[] {
                "FINE loaded ruvekline for Linux on ", // the loader's choice, with its file
                "FINE opening " + device + " at 9600 8N1, flow control NONE",
                "FINE opened ",
                "FINE opening " + dir.resolve("no-such-device") + " at 19200 7E1",
                "failed: ruvek.NoSuchPortException: "})
            assertTrue(said.contains(expected), "no '" + expected + "' in:\n" + said);
        assertTrue(said.lines().allMatch(l -> l.startsWith("FINE ")), "above FINE, or not ours:\n" + said);
    }

    /** ruvek.library.path as a folder of both natives, or as SerialPort's file: SerialLine's is the one beside. */
    @Test
    void theLibraryPathNamesAFolderOfBothNativesOrTheFileBesideSerialLines() throws Exception {
        Path built = Path.of(System.getProperty("java.library.path").split(java.io.File.pathSeparator)[0]).toRealPath();
        Path line = built.resolve("libruvekline.so");
        assertTrue(Files.exists(line) && Files.exists(built.resolve("libruvek.so")), built.toString());
        for (Path given : List.of(built, built.resolve("libruvek.so"))) {
            String said = stderr(logging(), "-Druvek.library.path=" + given);
            assertTrue(said.contains("FINE loaded ruvekline for Linux on " + System.getProperty("os.arch") + " from "
                    + line + "\n"), given + ":\n" + said);
        }
    }

    /** Opens the first device, and tries the second, which is missing. */
    public static final class Opener {
        public static void main(String[] args) throws Exception {
            try (SerialLine line = SerialLine.open(args[0], 9600)) {
                System.out.println(line);
            }
            try (SerialLine line = SerialLine.open(args[1], LineSettings.of(19200).withFormat("7E1"))) {
                throw new AssertionError("opened " + line);
            } catch (ruvek.NoSuchPortException expected) {
                System.out.println(expected.getMessage());
            }
        }
    }
}
