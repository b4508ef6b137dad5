// Where and how SerialPort's native is loaded, in child JVMs with their own temp and home.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.io.InputStream;
import java.net.URI;
import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.jar.JarFile;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import ruvek.internal.NativeLoader;
import ruvek.testing.NullModem;

/**
 * SerialPort's loader, in child JVMs that each get their own java.io.tmpdir
 * and home, so that nothing here touches the real ones.
 */
class LoaderTest {
    static final String JAR = System.getProperty("ruvek.jar");

    @TempDir
    Path dir;

    record Run(String out, String err, int exit) {}

    static Process start(Path tmp, Path home, String... args) throws Exception {
        List<String> command = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElse("java"),
                "-XX:TieredStopAtLevel=1", "-Djava.io.tmpdir=" + tmp, "-Duser.home=" + home));
        command.addAll(Arrays.asList(args));
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.environment().remove("LD_LIBRARY_PATH");
        builder.environment().remove("XDG_CACHE_HOME");
        return builder.start();
    }

    static Run finish(Process p) throws Exception {
        p.getOutputStream().close();
        byte[] out = p.getInputStream().readAllBytes();
        byte[] err = p.getErrorStream().readAllBytes();
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the JVM did not finish");
        return new Run(new String(out, StandardCharsets.UTF_8), new String(err, StandardCharsets.UTF_8),
                p.exitValue());
    }

    /** LoaderProbe with the jar (not the build's classes) first on the class path. */
    static Run probe(Path tmp, Path home, String... args) throws Exception {
        return finish(start(tmp, home, probeArgs(args)));
    }

    static String[] probeArgs(String... args) throws Exception {
        String tests = Path.of(LoaderTest.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        List<String> all = new ArrayList<>();
        int props = 0;
        while (props < args.length && args[props].startsWith("-D"))
            all.add(args[props++]);
        all.addAll(List.of("-cp", JAR + ":" + tests, "LoaderProbe"));
        all.addAll(Arrays.asList(args).subList(props, args.length));
        return all.toArray(new String[0]);
    }

    static byte[] jarsNative() throws Exception {
        return jarsNative("libruvek.so");
    }

    static byte[] jarsNative(String file) throws Exception {
        String platform = SerialPort.platform(System.getProperty("os.name"), System.getProperty("os.arch"));
        try (JarFile jar = new JarFile(JAR);
             InputStream in = jar.getInputStream(jar.getEntry("natives/" + platform + "/" + file))) {
            return in.readAllBytes();
        }
    }

    /** Every file and link under {@code root}, folders left out. */
    static List<Path> files(Path root) throws Exception {
        try (Stream<Path> s = Files.walk(root)) {
            return s.filter(p -> !Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)).sorted().collect(Collectors.toList());
        }
    }

    static Path dirs(Path... made) throws Exception {
        for (Path p : made)
            Files.createDirectories(p);
        return made[0];
    }

    @Test
    void tenRunsOfTheJarLeaveOneCachedNativeAndNothingElse() throws Exception {
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        Object firstKey = null;
        for (int i = 0; i < 10; i++) {
            Run run = finish(start(tmp, home, "-jar", JAR, "4242", "9600"));
            assertEquals(1, run.exit(), run.err());
            assertTrue(run.err().contains("cannot open COM4242"), run.err());
            List<Path> left = files(tmp);
            assertEquals(1, left.size(), "left behind: " + left);
            Path cached = left.get(0);
            Object key = Files.readAttributes(cached, "unix:ino").get("ino");
            if (firstKey == null)
                firstKey = key;
            assertEquals(firstKey, key, "the cached native was written again, not reused");
        }
        Path cached = files(tmp).get(0);
        // The terminal runs on the named API, whose library is the one it loads.
        assertArrayEquals(jarsNative("libruvekline.so"), Files.readAllBytes(cached));
        // <tmp>/ruvek-<user>/<hash>/libruvekline.so, both folders the owner's alone.
        assertEquals(tmp, cached.getParent().getParent().getParent());
        assertTrue(cached.getParent().getParent().getFileName().toString().startsWith("ruvek-"));
        assertTrue(cached.getParent().getFileName().toString().matches("[0-9a-f]{16}"));
        for (Path p : List.of(cached.getParent(), cached.getParent().getParent()))
            assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(p)));
        assertEquals(List.of(), files(home));
    }

    @Test
    void twoJvmsExtractingAtOnceBothLoadAWholeFile() throws Exception {
        Path home = dirs(dir.resolve("home"));
        byte[] expected = jarsNative();
        String hash = HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(expected));
        Path inCache = Path.of("ruvek-" + NativeLoader.safeName(System.getProperty("user.name")),
                hash.substring(0, 16), "libruvek.so");
        for (int round = 0; round < 24; round++) {
            Path tmp = dirs(dir.resolve("tmp" + round));
            // Meanwhile, the cached file is never seen other than whole.
            Path target = tmp.resolve(inCache);
            AtomicBoolean done = new AtomicBoolean();
            AtomicLong partial = new AtomicLong(-1);
            Thread watcher = new Thread(() -> {
                while (!done.get()) {
                    try {
                        long size = Files.size(target);
                        if (size != expected.length)
                            partial.set(size);
                    } catch (IOException notYet) {
                        Thread.onSpinWait();
                    }
                }
            });
            watcher.start();
            Process a = start(tmp, home, probeArgs("load"));
            Process b = start(tmp, home, probeArgs("load"));
            Run ra = finish(a), rb = finish(b);
            done.set(true);
            watcher.join();
            assertEquals(0, ra.exit(), ra.err());
            assertEquals(0, rb.exit(), rb.err());
            assertEquals(target.toString(), ra.out().trim());
            assertEquals(ra.out(), rb.out());
            assertEquals(-1, partial.get(), "round " + round + ": the cached file was seen half-written");
            assertEquals(List.of(target), files(tmp), "round " + round);
            assertArrayEquals(expected, Files.readAllBytes(target));
        }
        assertEquals(List.of(), files(home));
    }

    @Test
    void aCorruptedOrTruncatedCachedFileIsReplacedByAGoodOne() throws Exception {
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        byte[] good = jarsNative();
        Run first = probe(tmp, home, "load");
        assertEquals(0, first.exit(), first.err());
        Path cached = Path.of(first.out().trim());
        byte[] flipped = good.clone();
        flipped[good.length / 2] ^= 1;
        for (byte[] bad : List.of(flipped, Arrays.copyOf(good, good.length / 2))) {
            Files.write(cached, bad);
            // What a JVM killed while writing leaves, long ago: swept with the bad file.
            Path stale = Files.write(cached.resolveSibling(cached.getFileName() + ".123.part"), bad);
            Files.setLastModifiedTime(stale, FileTime.fromMillis(System.currentTimeMillis() - 86_400_000));
            Run run = probe(tmp, home, "load");
            assertEquals(0, run.exit(), run.err());
            assertEquals(cached.toString(), run.out().trim());
            assertArrayEquals(good, Files.readAllBytes(cached));
            assertEquals(List.of(cached), files(tmp));
        }
    }

    @Test
    void aNoexecTempDirectoryFallsBackToTheHomeCacheAndStillOpensAPort() throws Exception {
        Path noexec = dirs(dir.resolve("noexec")), home = dirs(dir.resolve("home"));
        Process mount = new ProcessBuilder("mount", "-t", "tmpfs", "-o", "noexec,size=16m", "tmpfs", noexec.toString())
                .redirectErrorStream(true).start();
        assumeTrue(finish(mount).exit() == 0, "cannot mount a noexec tmpfs here");
        try (NullModem modem = new NullModem(dir, 14).open()) {
            Run run = probe(noexec, home, "load", String.valueOf(modem.port));
            assertEquals(0, run.exit(), run.err());
            String[] lines = run.out().trim().split("\n");
            assertTrue(lines[0].startsWith(home.resolve(".cache/ruvek") + "/"), lines[0]);
            assertEquals("true", lines[1]);
            assertEquals(List.of(), files(noexec), "nothing is written where it cannot load");

            // With the home noexec too and nothing on java.library.path, one error names every place.
            Path empty = dirs(dir.resolve("empty"));
            run = probe(noexec, noexec, "-Djava.library.path=" + empty, "load");
            assertNotEquals(0, run.exit());
            for (String part : List.of(noexec + "/ruvek-", noexec + "/.cache/ruvek/", "mounted noexec",
                    "java.library.path (" + empty + ")", "ruvek.library.path"))
                assertTrue(run.err().contains(part), part + " missing from: " + run.err());
            assertEquals(List.of(), files(noexec));
        } finally {
            finish(new ProcessBuilder("umount", noexec.toString()).redirectErrorStream(true).start());
        }
    }

    @Test
    void theLibraryPathPropertyIsUsedAloneAndAWrongOneIsNamed() throws Exception {
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        Path own = Files.write(dirs(dir.resolve("own")).resolve("libruvek.so"), jarsNative());
        for (Path given : List.of(own.getParent(), own)) {
            Run run = probe(tmp, home, "-Druvek.library.path=" + given, "load");
            assertEquals(0, run.exit(), run.err());
            assertEquals(own.toString(), run.out().trim());
        }
        Path wrong = dir.resolve("nowhere/libruvek.so");
        Run run = probe(tmp, home, "-Druvek.library.path=" + wrong, "load");
        assertNotEquals(0, run.exit());
        assertTrue(run.err().contains("ruvek.library.path=" + wrong), run.err());
        // Not a file that loads: named, and no fallback to the jar's own.
        Files.write(dirs(wrong.getParent()).resolve("libruvek.so"), new byte[] {1, 2, 3});
        run = probe(tmp, home, "-Druvek.library.path=" + wrong.getParent(), "load");
        assertNotEquals(0, run.exit());
        assertTrue(run.err().contains("cannot load " + wrong), run.err());
        assertEquals(List.of(), files(tmp));
        assertEquals(List.of(), files(home));
    }

    @Test
    void aSecondClassLoaderIsRefused() throws Exception {
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        Run run = probe(tmp, home, "twice", JAR);
        assertEquals(0, run.exit(), run.err());
        String[] lines = run.out().trim().split("\n");
        assertTrue(lines[0].startsWith(tmp.toString()), run.out());
        assertTrue(lines[1].startsWith("refused: ") && lines[1].contains("already loaded in this process ("
                + lines[0] + ")"), run.out());
    }

    @Test
    void aCacheFolderOthersCouldChangeIsNotUsed() throws Exception {
        Path home = dirs(dir.resolve("home"));
        String user = NativeLoader.safeName(System.getProperty("user.name"));
        Path elsewhere = dirs(dir.resolve("elsewhere"));
        for (String kind : List.of("writable by all", "a link", "another user's")) {
            Path tmp = dirs(dir.resolve("tmp " + kind));
            Path cache = tmp.resolve("ruvek-" + user);
            if (kind.equals("a link")) {
                Files.createSymbolicLink(cache, elsewhere);
            } else {
                Files.createDirectory(cache);
                Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString(
                        kind.equals("writable by all") ? "rwxrwxrwx" : "rwx------"));
                if (kind.equals("another user's")) {
                    if (!System.getProperty("user.name").equals("root"))
                        continue; // only root can give a folder away
                    Files.setOwner(cache, cache.getFileSystem().getUserPrincipalLookupService()
                            .lookupPrincipalByName("nobody"));
                }
            }
            Run run = probe(tmp, home, "load");
            assertEquals(0, run.exit(), run.err());
            assertTrue(run.out().startsWith(home.toString()), kind + ": " + run.out());
            assertEquals(kind.equals("a link") ? List.of(cache) : List.of(), files(tmp), kind);
        }
        assertEquals(List.of(), files(elsewhere));
    }

    static void mode(Path p, String perms) throws IOException {
        Files.setPosixFilePermissions(p, PosixFilePermissions.fromString(perms));
    }

    static void giveToNobody(Path p) throws IOException {
        Files.setOwner(p, p.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName("nobody"));
    }

    static String unixMode(Path p) throws IOException {
        return Integer.toOctalString((Integer) Files.getAttribute(p, "unix:mode", LinkOption.NOFOLLOW_LINKS) & 07777);
    }

    @Test
    void aFolderOthersCouldWriteOnTheWayToTheCacheSendsItHome() throws Exception {
        Path home = dirs(dir.resolve("home"));
        Path shared = dirs(dir.resolve("shared")), sticky = dirs(dir.resolve("sticky"));
        mode(shared, "rwxrwxrwx");
        Files.setAttribute(sticky, "unix:mode", 01777);
        assertEquals("1777", unixMode(sticky));
        // Sticky: others may add to it but not rename what is ours, as in /tmp.
        Path tmp = dirs(sticky.resolve("tmp"));
        Run run = probe(tmp, home, "load");
        assertEquals(0, run.exit(), run.err());
        assertTrue(run.out().startsWith(tmp + "/"), run.out());

        // Not sticky, two levels up: nothing written there, the home cache used.
        tmp = dirs(shared.resolve("deep/tmp"));
        run = probe(tmp, home, "load");
        assertEquals(0, run.exit(), run.err());
        assertTrue(run.out().startsWith(home.resolve(".cache/ruvek") + "/"), run.out());
        assertEquals(List.of(), files(shared));

        // With the home there too, the error says why each place was refused.
        Path empty = dirs(dir.resolve("empty"));
        run = probe(tmp, shared, "-Djava.library.path=" + empty, "load");
        assertNotEquals(0, run.exit());
        String why = shared + " can be written by other users (rwxrwxrwx) and is not sticky";
        assertTrue(run.err().contains("(cache in java.io.tmpdir): " + why), run.err());
        assertTrue(run.err().contains("(cache in the home folder): " + why), run.err());
        assertEquals(List.of(), files(shared));
    }

    @Test
    void aCachedFileOthersCouldChangeIsReplacedNotLoaded() throws Exception {
        assumeTrue(System.getProperty("user.name").equals("root"), "only root can give a file away");
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        byte[] good = jarsNative();
        Run first = probe(tmp, home, "load");
        assertEquals(0, first.exit(), first.err());
        Path cached = Path.of(first.out().trim());
        for (String kind : List.of("another user's", "writable by all", "writable by the group")) {
            // The right bytes, which whoever can write the file could change before the load.
            if (kind.equals("another user's"))
                giveToNobody(cached);
            else
                mode(cached, kind.equals("writable by all") ? "rw-rw-rw-" : "rw-rw----");
            Run run = probe(tmp, home, "load");
            assertEquals(0, run.exit(), run.err());
            assertEquals(cached.toString(), run.out().trim());
            assertEquals("root", Files.getOwner(cached).getName(), kind);
            assertEquals("rw-------", PosixFilePermissions.toString(Files.getPosixFilePermissions(cached)), kind);
            assertArrayEquals(good, Files.readAllBytes(cached));
            assertEquals(List.of(cached), files(tmp));
        }
    }

    @Test
    void aLibraryPathOthersCouldChangeIsRefusedSayingWhy() throws Exception {
        Path tmp = dirs(dir.resolve("tmp")), home = dirs(dir.resolve("home"));
        Path own = Files.write(dirs(dir.resolve("own")).resolve("libruvek.so"), jarsNative());
        Path shared = dirs(dir.resolve("shared"));
        mode(shared, "rwxrwxrwx");
        Path inShared = Files.write(shared.resolve("libruvek.so"), jarsNative());
        Path under = Files.write(dirs(shared.resolve("safe")).resolve("libruvek.so"), jarsNative());
        Path link = Files.createSymbolicLink(shared.resolve("link.so"), own);

        Run run = probe(tmp, home, "-Druvek.library.path=", "load");
        assertNotEquals(0, run.exit());
        assertTrue(run.err().contains("ruvek.library.path is set but empty"), run.err());

        String openShared = shared + " can be written by other users (rwxrwxrwx) and is not sticky";
        for (Path given : List.of(shared, inShared, under, link)) {
            run = probe(tmp, home, "-Druvek.library.path=" + given, "load");
            assertNotEquals(0, run.exit(), given.toString());
            assertTrue(run.err().contains("named by ruvek.library.path=" + given + ": " + openShared), run.err());
        }
        mode(own, "rw-rw-rw-");
        run = probe(tmp, home, "-Druvek.library.path=" + own, "load");
        assertTrue(run.err().contains(own + " can be written by other users (rw-rw-rw-)"), run.err());
        mode(own, "rw-r--r--");
        if (System.getProperty("user.name").equals("root")) {
            giveToNobody(own);
            run = probe(tmp, home, "-Druvek.library.path=" + own, "load");
            assertTrue(run.err().contains(own + " belongs to nobody, not to root"), run.err());
        }
        assertEquals(List.of(), files(tmp));
        assertEquals(List.of(), files(home));
    }

    /**
     * A shell word giving {@code s}'s UTF-8 bytes, whatever the locale of
     * this JVM, which might not be able to pass them itself.
     */
    static String shellWord(String s) {
        StringBuilder word = new StringBuilder("\"$(printf '%b' '");
        for (byte b : s.getBytes(StandardCharsets.UTF_8)) {
            int c = b & 0xFF;
            word.append(c > 0x20 && c < 0x7F && "'\\".indexOf(c) < 0 ? String.valueOf((char) c)
                    : String.format("\\0%03o", c));
        }
        return word.append("')\"").toString();
    }

    /** A child JVM in the C locale, with $HOME and the JVM's options as given, any of them non-ASCII. */
    static Process startInC(String homeVar, String... args) throws Exception {
        StringBuilder line = new StringBuilder("exec env LC_ALL=C HOME=" + shellWord(homeVar));
        line.append(' ').append(shellWord(ProcessHandle.current().info().command().orElse("java")));
        line.append(" -XX:TieredStopAtLevel=1");
        for (String a : args)
            line.append(' ').append(shellWord(a));
        ProcessBuilder builder = new ProcessBuilder("sh", "-c", line.toString());
        builder.environment().remove("LD_LIBRARY_PATH");
        builder.environment().remove("XDG_CACHE_HOME");
        builder.environment().remove("XDG_CONFIG_HOME");
        return builder.start();
    }

    /** A folder named in Unicode, made whatever this JVM's locale. */
    static Path unicodeDir(String path) throws Exception {
        String uri = "file://" + URLEncoder.encode(path, StandardCharsets.UTF_8).replace("%2F", "/");
        return Files.createDirectories(Path.of(new URI(uri)));
    }

    @Test
    void inTheCLocaleNonAsciiFoldersNeitherBreakTheLoaderNorAnOpen() throws Exception {
        Run c = finish(startInC("/", "-XshowSettings:properties", "-version"));
        assumeTrue(c.err().contains("sun.jnu.encoding = ANSI_X3.4-1968"),
                "the C locale does not give a JVM ASCII file names here: " + c.err());
        String tmp = dir + "/tmp\u00e9", user = dir + "/jos\u00e9";
        Path links = unicodeDir(user + "/.config/ruvek");
        Path home = dirs(dir.resolve("home")), empty = dirs(dir.resolve("empty"));
        String tests = Path.of(LoaderTest.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        try (NullModem modem = new NullModem(dir, 17).open()) {
            String pty = modem.ours.toRealPath().toString();
            Files.createSymbolicLink(links.resolve("com17"), modem.ours);
            // The temp directory can't be spelled: the home cache instead, and the port found through $HOME's link.
            Run run = finish(startInC(user, "-Djava.io.tmpdir=" + tmp, "-Duser.home=" + home,
                    "-cp", JAR + ":" + tests, "LineProbe", "17"));
            assertEquals("opened " + pty, run.out().trim(), run.err());
            assertEquals(1, files(home).size());

            Process p = startInC(user, "-Duser.home=" + home, "-jar", JAR, "--linger", "100", "17", "9600");
            p.getOutputStream().write("hi".getBytes(StandardCharsets.US_ASCII));
            run = finish(p);
            assertEquals(0, run.exit(), run.err());
            assertEquals('h', modem.read(NullModem.PATIENCE_MS));
            assertEquals('i', modem.read(NullModem.PATIENCE_MS));

            run = finish(startInC(user, "-Duser.home=" + home, "-jar", JAR, "--list"));
            assertEquals(0, run.exit(), run.err());
            assertTrue(run.out().contains("COM17 " + pty + " "), run.out());

            // Neither cache can be spelled: one error names every place, and why.
            run = finish(startInC(user, "-Djava.io.tmpdir=" + tmp, "-Duser.home=" + user,
                    "-Djava.library.path=" + empty, "-cp", JAR + ":" + tests, "LoaderProbe", "load"));
            assertNotEquals(0, run.exit());
            assertTrue(run.err().startsWith("Exception in thread \"main\" java.lang.UnsatisfiedLinkError"), run.err());
            for (String part : List.of("a cache in java.io.tmpdir: Java cannot spell ",
                    "a cache in the home folder: Java cannot spell ", "java.library.path (" + empty + ")"))
                assertTrue(run.err().contains(part), part + " missing from: " + run.err());
        }
    }
}
