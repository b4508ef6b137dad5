// ruvek.jar on its own: its contents, its platforms, and its terminal.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.jar.JarFile;
import java.util.zip.ZipEntry;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;

/** ruvek.jar on its own: what it carries, and that it loads and works with nothing else. */
class JarTest {
    static final String JAR = System.getProperty("ruvek.jar");
    // Child JVMs share the test's temporary directory, where the loader keeps
    // its cache: a 32-bit JVM under qemu-user cannot list a directory of ext4.
    static final String TMPDIR = "-Djava.io.tmpdir=" + System.getProperty("java.io.tmpdir");

    /** Output, error output and exit code of a run of a fresh JVM. */
    record Run(String out, String err, int exit) {}

    /** A fresh JVM like this one, with the arguments given, and no library path of ours. */
    static Process start(String... args) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse("java"));
        command.add(TMPDIR);
        command.addAll(Arrays.asList(args));
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.environment().remove("LD_LIBRARY_PATH");
        return builder.start();
    }

    static Run java(byte[] input, String... args) throws Exception {
        Process p = start(args);
        try (OutputStream in = p.getOutputStream()) {
            in.write(input);
        }
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the JVM did not finish");
        return new Run(new String(p.getInputStream().readAllBytes(), StandardCharsets.ISO_8859_1),
                new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8), p.exitValue());
    }

    /**
     * A run of the terminal that keeps its input open until its output has
     * grown to the length of {@code awaited}, so that its linger has only to
     * outlast the last byte, however slowly the answer came.
     */
    static Run converse(byte[] input, String awaited, String... args) throws Exception {
        Process p = start(args);
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        Thread reader = new Thread(() -> {
            try (InputStream from = p.getInputStream()) {
                for (int b; (b = from.read()) >= 0; )
                    synchronized (out) {
                        out.write(b);
                    }
            } catch (java.io.IOException e) {
                // the run is over
            }
        });
        reader.start();
        try (OutputStream in = p.getOutputStream()) {
            in.write(input);
            in.flush();
            // A JVM under emulation and on a loaded machine takes long to start: the deadline allows for it.
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(120);
            while (System.nanoTime() < deadline && p.isAlive()) {
                synchronized (out) {
                    if (out.size() >= bytes(awaited).length)
                        break;
                }
                Thread.sleep(10);
            }
        }
        String err = new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the JVM did not finish");
        reader.join();
        return new Run(out.toString(StandardCharsets.ISO_8859_1), err, p.exitValue());
    }

    static byte[] bytes(String s) {
        return s.getBytes(StandardCharsets.ISO_8859_1);
    }

    @Test
    void theJarCarriesTheClassesAndEveryNativeBuiltBesideIt() throws Exception {
        Path root = Path.of(System.getProperty("ruvek.buildRoot"));
        try (JarFile jar = new JarFile(JAR)) {
            assertEquals("ruvek.terminal.SerialTerminal", jar.getManifest().getMainAttributes().getValue("Main-Class"));
            assertNotNull(jar.getEntry("SerialPort.class"));
            assertNotNull(jar.getEntry("ruvek/terminal/SerialTerminal.class"));
            String[][] natives = {
                {"natives/linux-x86_64/libruvek.so", "linux/libruvek.so"},
                {"natives/windows-x86/ruvek.dll", "windows-x86/ruvek.dll"},
                {"natives/windows-x86_64/ruvek.dll", "windows-x64/ruvek.dll"},
                {"natives/linux-aarch64/libruvek.so", "linux-aarch64/libruvek.so"},
                {"natives/linux-arm/libruvek.so", "linux-arm/libruvek.so"},
                {"natives/linux-x86/libruvek.so", "linux-x86/libruvek.so"},
            };
            // The JVM running this test finds a native of its own in the jar.
            String own = SerialPort.platform(System.getProperty("os.name"), System.getProperty("os.arch"));
            assertNotNull(jar.getEntry("natives/" + own + "/libruvek.so"), own);
            for (String[] n : natives) {
                Path built = root.resolve(n[1]);
                if (!Files.exists(built))
                    continue; // that preset was not built here
                ZipEntry entry = jar.getEntry(n[0]);
                assertNotNull(entry, n[0]);
                try (InputStream in = jar.getInputStream(entry)) {
                    assertArrayEquals(Files.readAllBytes(built), in.readAllBytes(), n[0] + " is stale");
                }
            }
        }
    }

    @Test
    void platformsMapOntoTheJarsFolders() {
        assertEquals("windows-x86", SerialPort.platform("Windows 10", "x86"));
        assertEquals("windows-x86", SerialPort.platform("Windows XP", "i386"));
        assertEquals("windows-x86_64", SerialPort.platform("Windows 11", "amd64"));
        assertEquals("linux-x86_64", SerialPort.platform("Linux", "amd64"));
        assertEquals("linux-aarch64", SerialPort.platform("Linux", "aarch64"));
        assertEquals("linux-arm", SerialPort.platform("Linux", "arm"));
        for (String x86 : new String[] {"x86", "i386", "i486", "i586", "i686"})
            assertEquals("linux-x86", SerialPort.platform("Linux", x86), x86);
        assertNull(SerialPort.platform("Linux", "i786"));
        assertNull(SerialPort.platform("Linux", "riscv64"));
        assertNull(SerialPort.platform("Windows 11", "aarch64"));
        assertNull(SerialPort.platform("Mac OS X", "aarch64"));
        assertNull(SerialPort.platform("Mac OS X", "x86_64"));
    }

    @Test
    void theJarAloneLoadsItsNativeAndTalksToThePort() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-jar");
        try (NullModem modem = new NullModem(dir, 8).open()) {
            // The peer answers each line it gets.
            Thread peer = new Thread(() -> {
                try {
                    StringBuilder line = new StringBuilder();
                    for (int b; (b = modem.read(Long.MAX_VALUE)) >= 0; ) {
                        line.append((char) b);
                        if (b == '\n') {
                            modem.write(bytes("pong:" + line));
                            line.setLength(0);
                        }
                    }
                } catch (Exception e) {
                    // the test is over
                }
            });
            peer.setDaemon(true);
            peer.start();

            // -jar alone: no class path, no java.library.path.
            Run run = converse(bytes("ping\n"), "pong:ping\n", "-jar", JAR, "--linger", "200", "8", "115200");
            assertEquals(0, run.exit(), run.err());
            assertEquals("pong:ping\n", run.out());

            // With --events on a pty, which has no modem lines: it says so, and the bytes go on.
            run = converse(bytes("ping\n"), "pong:ping\n", "-jar", JAR, "--events", "--linger", "200", "8", "115200");
            assertEquals(0, run.exit(), run.err());
            assertEquals("pong:ping\n", run.out());
            assertTrue(run.err().contains("[no modem lines here: ") && run.err().contains("breaks and line errors only]"),
                    run.err());

            // A short hex line still lines its text up under a full line's.
            String dumped = "00000000  70 6f 6e 67 3a ff 0a" + " ".repeat(30) + "|pong:..|\n";
            run = converse(bytes("\u00ff\n"), dumped, "-jar", JAR, "--hex", "--linger", "200", "COM8", "115200");
            assertEquals(0, run.exit(), run.err());
            assertEquals(dumped, run.out());

            // By the device's path, with settings a pty keeps and a break first; the pty keeps them after.
            // (qemu-user knows no break ioctl: there the break is left out.)
            String device = modem.ours.toRealPath().toString();
            List<String> args = new ArrayList<>(List.of("-jar", JAR, "--settings", "8n2", "--flow", "rtscts"));
            if (!Boolean.getBoolean("ruvek.emulated"))
                args.addAll(List.of("--break", "10"));
            args.addAll(List.of("--linger", "200", device, "19200"));
            run = converse(bytes("set\n"), "pong:set\n", args.toArray(new String[0]));
            assertEquals(0, run.exit(), run.err());
            assertEquals("pong:set\n", run.out());
            Process stty = new ProcessBuilder("stty", "-F", device, "-a").redirectErrorStream(true).start();
            String settings = new String(stty.getInputStream().readAllBytes(), java.nio.charset.StandardCharsets.US_ASCII);
            assertEquals(0, stty.waitFor(), settings);
            assertTrue(settings.contains(" cstopb") && settings.contains(" crtscts") && settings.contains("speed 19200"),
                    settings);
            run = java(new byte[0], "-jar", JAR, "--settings", "7E1", device, "9600");
            assertEquals(1, run.exit());
            // Refused at open: nothing was open to keep settings.
            assertTrue(run.err().endsWith(": the driver refused data bits 7; nothing is open\n"), run.err());
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    /** An application of its own, in a named package, built against the jar alone. */
    static final String APP = "package com.example.app;\n"
            + "import java.io.*;\n"
            + "import ruvek.SerialLine;\n"
            + "public class Ask {\n"
            + "    public static void main(String[] args) throws IOException {\n"
            + "        try (SerialLine line = SerialLine.open(Integer.parseInt(args[0]), 115200)) {\n"
            + "            line.setReadTimeout(60000);\n"
            + "            line.getOutputStream().write(\"ping\\n\".getBytes(\"US-ASCII\"));\n"
            + "            InputStream in = line.getInputStream();\n"
            + "            for (int b; (b = in.read()) != '\\n'; )\n"
            + "                System.out.write(b);\n"
            + "            System.out.println();\n"
            + "        }\n"
            + "    }\n"
            + "}\n";

    @Test
    void aNamedPackageCompilesAgainstTheJarAndTalksThroughIt() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-app");
        try (NullModem modem = new NullModem(dir, 10).open()) {
            Path source = dir.resolve("src/com/example/app/Ask.java");
            Files.createDirectories(source.getParent());
            Files.writeString(source, APP);
            int javac = javax.tools.ToolProvider.getSystemJavaCompiler().run(null, null, null, "--release", "8",
                    "-Xlint:all", "-Werror", "-cp", JAR, "-d", dir.resolve("classes").toString(), source.toString());
            assertEquals(0, javac, "the application does not compile against the jar");
            Thread peer = new Thread(() -> {
                try {
                    for (int b; (b = modem.read(Long.MAX_VALUE)) >= 0; )
                        if (b == '\n')
                            modem.write(bytes("pong\n"));
                } catch (Exception e) {
                    // the test is over
                }
            });
            peer.setDaemon(true);
            peer.start();
            Run run = java(new byte[0], "-cp", JAR + File.pathSeparator + dir.resolve("classes"), "com.example.app.Ask", "10");
            assertEquals(0, run.exit(), run.err());
            assertEquals("pong\n", run.out());
        } finally {
            try (var files = Files.walk(dir)) {
                files.sorted(java.util.Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
            }
        }
    }

    @Test
    void theTerminalListsPortsAndAnswersHelpAndVersion() throws Exception {
        for (String help : new String[] {"--help", "-h"}) {
            Run run = java(new byte[0], "-jar", JAR, help);
            assertEquals(0, run.exit(), run.err());
            assertTrue(run.out().startsWith("usage:") && run.out().contains("--list"), run.out());
        }
        Run run = java(new byte[0], "-jar", JAR, "--version");
        assertEquals(0, run.exit(), run.err());
        assertTrue(run.out().matches("ruvek \\S+\nplatform \\S+ \\(.+, .+\\)\nnative .+ruvekline[^/]*\n"), run.out());

        Path dir = Files.createTempDirectory("ruvek-jar");
        try (NullModem modem = new NullModem(dir, 11).open()) {
            run = java(new byte[0], "-jar", JAR, "--list");
            assertEquals(0, run.exit(), run.err());
            String device = modem.ours.toRealPath().toString();
            assertTrue(run.out().contains("COM11 " + device + " pty_slave\n"), run.out());

            // Nothing to send: the session only reads, until the device goes.
            Thread puller = new Thread(() -> {
                try {
                    modem.waitUntilOpenedAt(9600, 120_000); // the terminal has the port, set up
                } catch (Exception e) {
                    return; // and the terminal lingers on; the run's output tells
                }
                modem.pull();
            });
            puller.start();
            run = java(new byte[0], "-jar", JAR, "--linger", "50000", "COM11", "9600");
            puller.join();
            assertEquals(1, run.exit(), run.err());
            assertEquals("COM11 (" + device + "): disconnected; the device is gone\n", run.err());
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    /** --watch shows the ports there, then a link that comes and goes, until the process is stopped. */
    @Test
    void theTerminalWatchesPortsComeAndGo() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-jar");
        Process p = start("-jar", JAR, "--watch");
        try (NullModem modem = new NullModem(dir, 13)) {
            java.io.BufferedReader out = new java.io.BufferedReader(
                    new java.io.InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8));
            java.io.BufferedReader err = new java.io.BufferedReader(
                    new java.io.InputStreamReader(p.getErrorStream(), StandardCharsets.UTF_8));
            String said = err.readLine(); // once the watch has begun
            assertTrue(said != null && said.startsWith("watching ") && said.endsWith("; Ctrl-C ends"), said);
            String device = modem.ours.toRealPath().toString();
            String line;
            while ((line = out.readLine()) != null && !line.equals("+ COM13 " + device + " pty_slave")) {
                // the ports there before it
            }
            assertEquals("+ COM13 " + device + " pty_slave", line);
            Files.delete(modem.link);
            while ((line = out.readLine()) != null && !line.startsWith("- COM13 ")) {
                // others'
            }
            assertEquals("- COM13 " + device + " pty_slave", line);
        } finally {
            p.destroy();
            assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the watch went on after SIGTERM");
            NullModem.removeFolder(dir);
        }
    }

    @Test
    void closedStandardInputSendsNothingAndAHugeLingerStillWaits() throws Exception {
        Path dir = Files.createTempDirectory("ruvek-jar");
        try (NullModem modem = new NullModem(dir, 9).open()) {
            // With descriptor 0 closed the JVM opens its own files there.
            String java = ProcessHandle.current().info().command().orElse("java");
            Process p = new ProcessBuilder("sh", "-c", "exec \"$0\" \"$2\" -jar \"$1\" --linger 200 9 115200 <&-", java, JAR,
                    TMPDIR)
                    .redirectErrorStream(true).start();
            boolean ended = p.waitFor(120, TimeUnit.SECONDS);
            p.destroyForcibly().waitFor();
            assertTrue(ended, "the terminal kept sending after a closed input");
            assertEquals(0, p.exitValue());
            assertEquals(-1, modem.read(300), "bytes reached the port from a closed input");

            // A linger past what nanoseconds can count waits rather than overflowing into none.
            p = new ProcessBuilder(java, TMPDIR, "-jar", JAR, "--linger", "9223372036854775807", "9", "115200").start();
            p.getOutputStream().close();
            try {
                assertTrue(!p.waitFor(2, TimeUnit.SECONDS), "a huge linger ended at once");
            } finally {
                p.destroyForcibly().waitFor();
            }
        } finally {
            NullModem.removeFolder(dir);
        }
    }

    @Test
    void failuresAreClearAndNamed() throws Exception {
        Run run = java(new byte[0], "-Dos.name=Plan9", "-Dos.arch=mips", "-jar", JAR, "5", "9600");
        assertTrue(run.exit() != 0);
        assertTrue(run.err().contains("no native library for Plan9 on mips"), run.err());
        run = java(new byte[0], "-Dos.name=Plan9", "-Dos.arch=mips", "-jar", JAR, "--version");
        assertEquals(1, run.exit());
        assertTrue(run.out().endsWith("\nplatform none of the jar's (Plan9, mips)\n"), run.out());
        assertTrue(run.err().startsWith("no native: ") && run.err().contains("for Plan9 on mips"), run.err());

        run = java(new byte[0], "-jar", JAR, "4242", "9600");
        assertEquals(1, run.exit());
        assertEquals("cannot open COM4242 (/dev/ttyS4241): no such port\n", run.err());

        // Each bad command line is a usage error that names what is wrong: first the complaint, then the usage.
        String[][] cases = {{"PORT and BAUD are missing"}, {"BAUD is missing", "5"}, {"bad PORT: x", "x", "9600"},
            {"unknown option: --loud", "--loud", "5", "9600"}, {"bad BAUD: -9600", "5", "-9600"},
            {"bad BAUD: 0", "5", "0"}, {"bad PORT: \u0663", "\u0663", "9600"}, {"bad PORT: COM\u0663", "COM\u0663", "9600"},
            {"bad MS for --linger: -1", "--linger", "-1", "5", "9600"},
            {"bad FORMAT for --settings: 9N1", "--settings", "9N1", "5", "9600"},
            {"bad FLOW for --flow: cts", "--flow", "cts", "5", "9600"},
            {"bad MS for --break: -5", "--break", "-5", "5", "9600"}, {"--settings needs FORMAT", "--settings"},
            {"bad EOL for --eol: cr-lf", "--eol", "cr-lf", "5", "9600"}, {"--eol needs EOL", "--eol"}};
        // Other scripts' digits reach the child only where the command line's encoding has them.
        boolean arabicIndic = java.nio.charset.Charset.forName(System.getProperty("sun.jnu.encoding")).newEncoder().canEncode('\u0663');
        for (String[] bad : cases) {
            if (!arabicIndic && bad[0].contains("\u0663"))
                continue;
            List<String> args = new ArrayList<>(List.of("-Dsun.stderr.encoding=UTF-8", "-jar", JAR));
            args.addAll(List.of(bad).subList(1, bad.length));
            run = java(new byte[0], args.toArray(new String[0]));
            assertEquals(2, run.exit(), String.join(" ", bad));
            assertTrue(run.err().startsWith(bad[0] + " (") || run.err().startsWith(bad[0] + "\n"), run.err());
            assertTrue(run.err().contains("\nusage:"), run.err());
        }
    }
}
