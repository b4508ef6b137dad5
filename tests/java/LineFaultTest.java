// Each reason SerialLine.open gives for a port it cannot open.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ruvek.DanglingLinkException;
import ruvek.NoSuchPortException;
import ruvek.NotASerialPortException;
import ruvek.PortBusyException;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.SerialPorts;
import ruvek.testing.NullModem;

/** Each reason SerialLine.open gives for a port it cannot open, each produced for real. */
class LineFaultTest {
    // Only a hang runs into it; what a test waits for, it waits for with NullModem.PATIENCE_MS.
    static final Duration LIMIT = Duration.ofSeconds(300);
    Path dir;

    @BeforeEach
    void dir() throws Exception {
        dir = Files.createTempDirectory("ruvek-linefault");
    }

    @AfterEach
    void tidy() throws Exception {
        deleteTree(dir);
    }

    static <T extends SerialPortException> T refused(Class<T> type, int port) {
        T e = assertThrows(type, () -> SerialLine.open(port, 9600).close());
        assertEquals(port, e.port());
        assertTrue(e.getMessage().startsWith("COM" + port + " (" + e.device() + "): "), e.getMessage());
        return e;
    }

    static void link(int port, Path target) throws Exception {
        Path link = NullModem.comLink(port);
        Files.deleteIfExists(link);
        Files.createSymbolicLink(link, target);
    }

    /** A JVM running LineProbe with the given command in front and config folder. */
    static String probe(List<String> before, Path classPath, Path config, int port) throws Exception {
        List<String> command = new ArrayList<>(before);
        command.addAll(List.of(ProcessHandle.current().info().command().orElse("java"), "-XX:-UsePerfData",
                "-cp", classPath.toString(), "-Djava.library.path=" + System.getProperty("java.library.path"),
                "LineProbe", Integer.toString(port)));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().put("XDG_CONFIG_HOME", config.toString());
        Process p = builder.start();
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the probe did not finish");
        return new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
    }

    /** Copies a tree, readable by every user, since the build tree may not be. */
    static void copyForAll(Path from, Path to) throws Exception {
        try (var files = Files.walk(from)) {
            for (Path f : (Iterable<Path>) files::iterator) {
                Path t = to.resolve(from.relativize(f).toString());
                if (Files.isDirectory(f))
                    Files.createDirectories(t);
                else
                    Files.copy(f, t, StandardCopyOption.REPLACE_EXISTING);
                Files.setPosixFilePermissions(t, PosixFilePermissions.fromString(Files.isDirectory(f) ? "rwxr-xr-x" : "rw-r--r--"));
            }
        }
    }

    @Test
    void pathsThatLeadToNoSerialDevice() throws Exception {
        NoSuchPortException none = refused(NoSuchPortException.class, 4242);
        assertEquals("COM4242 (/dev/ttyS4241): no such port", none.getMessage());
        assertEquals("/dev/ttyS4241", none.device());
        refused(NoSuchPortException.class, 0); // below 1, only a link makes a port

        link(53, dir.resolve("unplugged"));
        DanglingLinkException dangling = refused(DanglingLinkException.class, 53);
        assertEquals(dir.resolve("unplugged").toString(), dangling.device());
        assertTrue(dangling.getMessage().endsWith("points at nothing"), dangling.getMessage());

        Path file = Files.writeString(dir.resolve("notes.txt"), "not a port");
        link(53, file);
        assertTrue(refused(NotASerialPortException.class, 53).getMessage().endsWith("a regular file"));
        link(53, Path.of("/dev/null"));
        assertTrue(refused(NotASerialPortException.class, 53).getMessage().contains("no terminal"));
        // Terminals that are no serial port: one opens a new pty master, the other is whoever's terminal.
        link(53, Path.of("/dev/ptmx"));
        assertEquals("COM53 (/dev/ptmx): not a serial port but /dev/ptmx, which makes a new pseudo-terminal at every open",
                refused(NotASerialPortException.class, 53).getMessage());
        if (!hasControllingTerminal()) { // with one, /dev/tty would open it
            link(53, Path.of("/dev/tty"));
            assertEquals("COM53 (/dev/tty): not a serial port but /dev/tty, the controlling terminal of whoever opens it",
                    refused(NotASerialPortException.class, 53).getMessage());
        }
        Files.delete(NullModem.comLink(53));
    }

    static boolean hasControllingTerminal() {
        try {
            new java.io.FileInputStream("/dev/tty").close();
            return true;
        } catch (java.io.IOException e) {
            return false;
        }
    }

    @Test
    void theListingShowsOnlyTerminals() throws Exception {
        Path file = Files.writeString(dir.resolve("notes.txt"), "not a port");
        link(56, file);
        link(57, Path.of("/dev/null"));
        link(58, Path.of("/dev/ptmx"));
        try {
            String listed = SerialPorts.list().toString();
            for (String device : new String[] {file.toString(), "/dev/null", "/dev/ptmx"})
                assertTrue(!listed.contains(" " + device), device + " listed: " + listed);
        } finally {
            for (int port = 56; port <= 58; port++)
                Files.delete(NullModem.comLink(port));
        }
    }

    @Test
    void aLinkPathTooLongForTheSystemRefusesThePort() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 59)) {
                // Short once resolved, too long as spelt: the library can't look for the link.
                StringBuilder config = new StringBuilder(dir.toString());
                while (config.length() < 4100)
                    config.append("/.");
                Files.createDirectories(dir.resolve("ruvek"));
                Files.createSymbolicLink(dir.resolve("ruvek/com1"), modem.ours);
                String said = probe(List.of(), Path.of(System.getProperty("java.class.path")), Path.of(config.toString()), 1);
                assertTrue(said.matches("ruvek.SerialPortException: COM1 \\(" + java.util.regex.Pattern.quote(config.toString())
                        + "/ruvek/com1\\): refused: the path of its link is longer than the 4095 bytes the system takes"), said);
            }
        });
    }

    @Test
    void aPortHeldByAnotherProcessIsBusyAndNamesIt() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 54).open()) {
                String java = ProcessHandle.current().info().command().orElse("java");
                Process holder = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                        "-Djava.library.path=" + System.getProperty("java.library.path"), "PortProbe", "54",
                        "hold").redirectError(ProcessBuilder.Redirect.INHERIT).start();
                BufferedReader said = new BufferedReader(
                        new InputStreamReader(holder.getInputStream(), StandardCharsets.UTF_8));
                assertEquals("true", said.readLine(), "the holder could not open the port");
                PortBusyException busy = refused(PortBusyException.class, 54);
                assertTrue(busy.getMessage().endsWith("busy; held by process " + holder.pid()), busy.getMessage());
                holder.getOutputStream().close();
                assertTrue(holder.waitFor(120, TimeUnit.SECONDS));
                try (SerialLine line = SerialLine.open(54, 9600)) {
                    line.getOutputStream().write('h');
                    assertEquals('h', modem.read(NullModem.PATIENCE_MS));
                }
            }
        });
    }

    @Test
    void aUserWithoutAccessIsToldWhichGroup() {
        assertTimeoutPreemptively(LIMIT, () -> {
            try (NullModem modem = new NullModem(dir, 55).open()) {
                Path device = modem.ours.toRealPath();
                // A world-readable copy of what the probe needs, and a link straight to the device:
                // only the device itself keeps the user out.
                Path open = dir.resolve("open");
                copyForAll(Path.of(SerialLine.class.getProtectionDomain().getCodeSource().getLocation().toURI()), open);
                Files.copy(Path.of(LineProbe.class.getProtectionDomain().getCodeSource().getLocation().toURI())
                        .resolve("LineProbe.class"), open.resolve("LineProbe.class"));
                Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
                Files.createDirectories(open.resolve("config/ruvek"));
                Files.createSymbolicLink(open.resolve("config/ruvek/com55"), device);

                String said;
                if (new com.sun.security.auth.module.UnixSystem().getUid() == 0) {
                    assumeTrue(new File("/usr/bin/setpriv").canExecute(), "no setpriv to change the user");
                    said = probe(List.of("/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"),
                            open, open.resolve("config"), 55);
                } else {
                    Files.setPosixFilePermissions(device, PosixFilePermissions.fromString("---------"));
                    said = probe(List.of(), open, open.resolve("config"), 55);
                }
                assertTrue(said.matches("ruvek.PortAccessDeniedException: COM55 \\(" + device
                        + "\\): permission denied; is the user in group \\w+\\?"), said);
            }
        });
    }

    static void deleteTree(Path root) throws Exception {
        try (var files = Files.walk(root)) {
            files.sorted(java.util.Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
        }
    }
}
