// One application of the named API, run from the module path and from the class path.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ruvek.testing.NullModem;
import ruvek.testing.Processes;

/**
 * The application tests/app (module com.example.app) opens both ends of two
 * null-modems by path, echoes every byte value each way, times a read out,
 * and closes lines during a blocked read and a blocked write: on the module
 * path against ruvek-module.jar, and on the class path against ruvek.jar.
 */
class ModulePathTest {
    static final Path JAR = Path.of(System.getProperty("ruvek.jar"));
    static final Path MODULE_JAR = JAR.resolveSibling("ruvek-module.jar");
    static final String JAVA = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    static Path dir;
    static Path app;

    @BeforeAll
    static void compileTheApplication() throws Exception {
        dir = Files.createTempDirectory("ruvek-module");
        app = dir.resolve("app");
        List<String> args = new ArrayList<>(List.of("--module-path", MODULE_JAR.toString(), "-d", app.toString()));
        try (Stream<Path> sources = Files.walk(Path.of(System.getProperty("ruvek.source"), "tests", "app"))) {
            args.addAll(sources.filter(p -> p.toString().endsWith(".java")).map(Path::toString).collect(Collectors.toList()));
        }
        assertEquals(0, ToolProvider.getSystemJavaCompiler().run(null, null, null, args.toArray(new String[0])),
                "javac of tests/app against the module jar");
    }

    @AfterAll
    static void tidy() throws Exception {
        NullModem.removeFolder(dir);
    }

    /** Runs java with the arguments and the ends of two fresh null-modems: its exit code and output. */
    static String run(List<String> java) throws Exception {
        try (NullModem one = new NullModem(dir, 61); NullModem two = new NullModem(dir, 62)) {
            List<String> command = new ArrayList<>(java);
            command.addAll(0, List.of(JAVA));
            for (NullModem cable : List.of(one, two)) {
                command.add(cable.ours.toRealPath().toString());
                command.add(cable.peer.toRealPath().toString());
            }
            return exec(command);
        }
    }

    static String exec(List<String> command) throws Exception {
        return Processes.output(new ProcessBuilder(command));
    }

    @Test
    void anApplicationModuleRunsOnTheModulePath() throws Exception {
        String out = run(List.of("--module-path", MODULE_JAR + ":" + app, "-m", "com.example.app/com.example.app.LineCheck"));
        assertTrue(out.endsWith("all checks passed\n"), out);
    }

    @Test
    void theSameApplicationRunsOnTheClassPath() throws Exception {
        String out = run(List.of("-cp", JAR + ":" + app, "com.example.app.LineCheck"));
        assertTrue(out.endsWith("all checks passed\n"), out);
    }

    @Test
    void theModuleExportsOnlyRuvekAndCarriesNoUnnamedPackage() throws Exception {
        String described = exec(List.of(JAVA, "--module-path", MODULE_JAR.toString(), "--describe-module", "ruvek"));
        List<String> lines = Arrays.asList(described.split("\n"));
        assertTrue(lines.contains("exports ruvek"), described);
        assertTrue(lines.stream().filter(l -> l.startsWith("exports ")).count() == 1, described);
        assertTrue(lines.contains("contains ruvek.internal") && lines.contains("contains ruvek.terminal"), described);
        String version = exec(List.of(JAVA, "--module-path", MODULE_JAR.toString(), "-m", "ruvek", "--version"));
        assertTrue(version.startsWith("ruvek "), version);
    }
}
