// Both jars as OSGi bundles: their headers, and a client bundle's echo under Debian's Felix, again after an update and a refresh.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;
import ruvek.testing.Processes;

/**
 * tests/osgi's launcher starts Felix (Debian's libfelix-framework-java) with
 * a fresh storage, installs and starts a ruvek jar as a bundle, then a client
 * bundle that imports the package ruvek and echoes over a null-modem; then
 * updates the ruvek bundle, refreshes it, and the client echoes again.
 */
class BundleTest {
    static final Path JAR = Path.of(System.getProperty("ruvek.jar"));
    static final Path MODULE_JAR = JAR.resolveSibling("ruvek-module.jar");
    static final Path FELIX = Path.of("/usr/share/java/org.apache.felix.framework.jar");
    static final String JAVA = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    static final String PLATFORM = SerialPort.platform(System.getProperty("os.name"), System.getProperty("os.arch"));
    static Path dir;
    static Path launcher;
    static Path client;

    @BeforeAll
    static void buildTheLauncherAndTheClient() throws Exception {
        dir = Files.createTempDirectory("ruvek-bundle");
        if (!Files.isRegularFile(FELIX))
            return; // each run is skipped, saying why
        Path source = Path.of(System.getProperty("ruvek.source"), "tests", "osgi");
        launcher = dir.resolve("launcher");
        javac("-cp", FELIX.toString(), "-d", launcher.toString(), source.resolve("launcher/BundleRun.java").toString());
        Path classes = dir.resolve("client-classes");
        javac("--release", "8", "-Xlint:-options", "-cp", FELIX + ":" + JAR, "-d", classes.toString(),
                source.resolve("client/EchoActivator.java").toString());
        Manifest m = new Manifest();
        Attributes a = m.getMainAttributes();
        a.put(Attributes.Name.MANIFEST_VERSION, "1.0");
        a.putValue("Bundle-ManifestVersion", "2");
        a.putValue("Bundle-SymbolicName", "ruvek.osgiclient");
        a.putValue("Bundle-Version", "1.0.0");
        a.putValue("Bundle-Activator", "ruvek.osgiclient.EchoActivator");
        a.putValue("Import-Package", "org.osgi.framework, ruvek");
        client = dir.resolve("client.jar");
        Path cls = classes.resolve("ruvek/osgiclient/EchoActivator.class");
        try (JarOutputStream out = new JarOutputStream(Files.newOutputStream(client), m)) {
            out.putNextEntry(new JarEntry("ruvek/osgiclient/EchoActivator.class"));
            out.write(Files.readAllBytes(cls));
        }
    }

    static void javac(String... args) {
        assertEquals(0, ToolProvider.getSystemJavaCompiler().run(null, null, null, args), "javac " + Arrays.toString(args));
    }

    @AfterAll
    static void tidy() throws Exception {
        NullModem.removeFolder(dir);
    }

    /** The launcher's run over a fresh null-modem: its output, after checking that it exited 0. */
    static String run(Path ruvek, int port, List<String> jvm, List<String> config) throws Exception {
        assumeTrue(Files.isRegularFile(FELIX), FELIX + " is missing: install Debian's libfelix-framework-java");
        Path storage = Files.createTempDirectory(dir, "storage");
        try (NullModem cable = new NullModem(dir, port)) {
            List<String> command = new ArrayList<>(List.of(JAVA));
            command.addAll(jvm);
            command.addAll(List.of("-cp", FELIX + ":" + launcher, "ruvek.osgirun.BundleRun",
                    storage.toString(), ruvek.toString(), client.toString(),
                    "ruvek.test.a=" + cable.ours.toRealPath(), "ruvek.test.b=" + cable.peer.toRealPath()));
            command.addAll(config);
            ProcessBuilder builder = new ProcessBuilder(command);
            builder.environment().remove("XDG_CACHE_HOME");
            String text = Processes.output(builder);
            assertTrue(text.contains("\nboth starts echoed\n"), text);
            return text;
        }
    }

    /** The natives the run loaded, one path per class loader, as the launcher printed them. */
    static List<String> loaded(String output) {
        for (String line : output.split("\n"))
            if (line.startsWith("loaded: "))
                return Arrays.asList(line.substring("loaded: ".length()).split(":"));
        throw new AssertionError("no natives named in\n" + output);
    }

    /** Where the temp directory and the home can hold nothing, the framework's own copy of the native serves. */
    static void echoesOnTheFrameworksNative(Path ruvek, int port) throws Exception {
        List<String> unusable = List.of("-Djava.io.tmpdir=" + dir.resolve("no-tmp"), "-Duser.home=" + dir.resolve("no-home"));
        String out = run(ruvek, port, unusable, List.of());
        List<String> natives = loaded(out);
        assertEquals(2, natives.size(), out); // one per revision of the bundle
        assertNotEquals(natives.get(0), natives.get(1), out);
        for (String path : natives)
            assertTrue(path.startsWith(dir.toString()) && path.contains("/storage")
                    && path.endsWith("natives/" + PLATFORM + "/libruvekline.so"), out);
    }

    @Test
    void theJarEchoesAsABundleAndAgainAfterAnUpdateAndARefresh() throws Exception {
        echoesOnTheFrameworksNative(JAR, 96);
    }

    @Test
    void theModuleJarDoesTheSame() throws Exception {
        echoesOnTheFrameworksNative(MODULE_JAR, 98);
    }

    /**
     * Where no clause fits the platform, the optional one lets the bundle
     * resolve, and the library's loader takes the native from the bundle's
     * entries into its cache. The bundle's location names another jar, whose
     * native differs: the loader must read the bundle, not that file.
     */
    @Test
    void whereNoClauseFitsTheLoaderCachesTheBundlesOwnNative() throws Exception {
        Path noClause = dir.resolve("no-clause.jar");
        Path elsewhere = dir.resolve("elsewhere.jar");
        rewrite(JAR, noClause, "natives/linux-sparc/libruvekline.so;osname=Linux;processor=sparc,*", null);
        rewrite(JAR, elsewhere, null, "natives/" + PLATFORM + "/libruvekline.so");
        Path tmp = Files.createTempDirectory(dir, "tmp");
        String out = run(noClause, 99, List.of("-Djava.io.tmpdir=" + tmp, "-Duser.home=" + dir.resolve("no-home")),
                List.of("ruvek.test.location=" + elsewhere.toUri()));
        List<String> natives = loaded(out);
        assertEquals(2, natives.size(), out);
        Path cache = tmp.resolve("ruvek-" + System.getProperty("user.name").replaceAll("[^A-Za-z0-9._-]", "_"));
        assertTrue(natives.get(0).startsWith(cache + "/") && natives.get(0).endsWith("/libruvekline.so"), out);
        assertTrue(natives.get(1).startsWith(cache + "/") && natives.get(1).endsWith("/libruvekline-2.so"), out);
    }

    /** A copy of {@code from}, its Bundle-NativeCode replaced when given, the entry {@code shorten} cut in half. */
    static void rewrite(Path from, Path to, String nativeCode, String shorten) throws Exception {
        try (JarFile in = new JarFile(from.toFile())) {
            Manifest m = new Manifest(in.getManifest());
            if (nativeCode != null)
                m.getMainAttributes().putValue("Bundle-NativeCode", nativeCode);
            try (OutputStream file = Files.newOutputStream(to); JarOutputStream out = new JarOutputStream(file, m)) {
                for (Enumeration<JarEntry> e = in.entries(); e.hasMoreElements(); ) {
                    JarEntry entry = e.nextElement();
                    if (entry.getName().equals("META-INF/MANIFEST.MF"))
                        continue;
                    byte[] bytes = in.getInputStream(entry).readAllBytes();
                    if (entry.getName().equals(shorten))
                        bytes = Arrays.copyOf(bytes, bytes.length / 2);
                    out.putNextEntry(new JarEntry(entry.getName()));
                    out.write(bytes);
                }
            }
        }
    }

    @Test
    void eachJarNamesItselfExportsRuvekAndListsTheNativesItCarries() throws Exception {
        String version = System.getProperty("ruvek.version");
        for (Path jar : List.of(JAR, MODULE_JAR)) {
            try (JarFile j = new JarFile(jar.toFile())) {
                Attributes main = j.getManifest().getMainAttributes();
                assertEquals("2", main.getValue("Bundle-ManifestVersion"), jar.toString());
                assertEquals(jar.equals(JAR) ? "ruvek" : "ruvek.module", main.getValue("Bundle-SymbolicName"));
                assertTrue(main.getValue("Bundle-Version").matches("\\d+\\.\\d+\\.\\d+(\\.[\\w-]+)?"), main.getValue("Bundle-Version"));
                assertTrue(main.getValue("Bundle-Version").startsWith(version), main.getValue("Bundle-Version"));
                assertEquals("ruvek;version=\"" + main.getValue("Bundle-Version") + "\"", main.getValue("Export-Package"));
                // Nothing to import but java.*, and no environment that Felix 4 on Java 17 can't name.
                for (String absent : List.of("Import-Package", "Require-Bundle", "Require-Capability",
                        "Bundle-RequiredExecutionEnvironment", "DynamicImport-Package"))
                    assertNull(main.getValue(absent), jar + " " + absent);

                List<String> clauses = Arrays.asList(main.getValue("Bundle-NativeCode").split(","));
                assertEquals("*", clauses.get(clauses.size() - 1));
                List<String> listed = new ArrayList<>();
                for (String clause : clauses.subList(0, clauses.size() - 1)) {
                    List<String> parts = Arrays.asList(clause.split(";"));
                    String platform = parts.get(0).split("/")[1];
                    assertTrue(parts.contains(platform.startsWith("windows") ? "osname=Win32" : "osname=Linux"), clause);
                    String processor = platform.endsWith("x86_64") ? "x86-64" : platform.substring(platform.indexOf('-') + 1);
                    assertTrue(parts.contains("processor=" + (processor.equals("arm") ? "arm_le" : processor)), clause);
                    parts.stream().filter(p -> !p.contains("=")).forEach(listed::add);
                }
                List<String> carried = new ArrayList<>();
                j.stream().map(JarEntry::getName).filter(n -> n.startsWith("natives/") && !n.endsWith("/")
                        && !n.endsWith(".sha256")).forEach(carried::add);
                Collections.sort(listed);
                Collections.sort(carried);
                assertEquals(carried, listed, jar + " lists what it carries");
                assertFalse(listed.isEmpty());
                assertTrue(listed.contains("natives/" + PLATFORM + "/libruvekline.so"), listed.toString());
            }
        }
    }
}
