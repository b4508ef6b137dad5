// The Maven artifacts, installed into a temporary repository.
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import javax.xml.parsers.DocumentBuilderFactory;
import javax.xml.xpath.XPath;
import javax.xml.xpath.XPathFactory;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.w3c.dom.Document;

/** The Maven artifacts, as scripts/maven-install lays them out in a local repository. */
class PackageTest {
    static final String VERSION = System.getProperty("ruvek.version");
    static final Path SOURCE = Path.of(System.getProperty("ruvek.source"));

    @TempDir
    Path repo;

    @Test
    void installedWhereMavenLooksWithAPomItCanUse() throws Exception {
        Process p = new ProcessBuilder(SOURCE.resolve("scripts/maven-install").toString(), repo.toString())
                .redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS));
        assertEquals(0, p.exitValue(), out);

        // groupId ruvek / artifactId ruvek / version / artifactId-version[-classifier].ext
        Path dir = repo.resolve("ruvek/ruvek/" + VERSION);
        String base = "ruvek-" + VERSION;
        for (String f : List.of(".jar", "-module.jar", "-sources.jar", "-javadoc.jar", ".pom"))
            assertTrue(Files.isRegularFile(dir.resolve(base + f)), base + f);

        DocumentBuilderFactory factory = DocumentBuilderFactory.newInstance();
        factory.setNamespaceAware(false);
        Document pom = factory.newDocumentBuilder().parse(dir.resolve(base + ".pom").toFile());
        XPath x = XPathFactory.newInstance().newXPath();
        assertEquals("4.0.0", x.evaluate("/project/modelVersion", pom));
        assertEquals("ruvek", x.evaluate("/project/groupId", pom));
        assertEquals("ruvek", x.evaluate("/project/artifactId", pom));
        assertEquals(VERSION, x.evaluate("/project/version", pom));
        assertEquals("jar", x.evaluate("/project/packaging", pom));
        assertEquals("ruvek", x.evaluate("/project/name", pom));
        assertTrue(x.evaluate("/project/description", pom).contains("serial"));
        assertEquals("Apache License, Version 2.0", x.evaluate("/project/licenses/license/name", pom));
        assertEquals("The ruvek developers", x.evaluate("/project/developers/developer/name", pom));
        // A home and a repository only where the build was given them, and then well-formed.
        String url = x.evaluate("/project/url", pom), scm = x.evaluate("/project/scm/connection", pom);
        assertTrue(url.isEmpty() || url.startsWith("https://"), url);
        assertTrue(scm.isEmpty() || scm.startsWith("scm:git:https://"), scm);
        assertEquals(VERSION, x.evaluate("/metadata/versioning/release",
                factory.newDocumentBuilder().parse(repo.resolve("ruvek/ruvek/maven-metadata-local.xml").toFile())));

        // The versioned jar is ruvek.jar, which names itself and carries the license.
        Path jar = Path.of(System.getProperty("ruvek.jar"));
        assertArrayEquals(Files.readAllBytes(jar), Files.readAllBytes(dir.resolve(base + ".jar")));
        try (JarFile j = new JarFile(jar.toFile())) {
            Attributes main = j.getManifest().getMainAttributes();
            assertEquals("ruvek", main.getValue("Implementation-Title"));
            assertEquals(VERSION, main.getValue("Implementation-Version"));
            assertEquals("ruvek.terminal.SerialTerminal", main.getValue("Main-Class"));
            assertArrayEquals(Files.readAllBytes(SOURCE.resolve("LICENSE")),
                    j.getInputStream(j.getEntry("META-INF/LICENSE")).readAllBytes());
        }
        try (JarFile sources = new JarFile(dir.resolve(base + "-sources.jar").toFile());
             JarFile javadoc = new JarFile(dir.resolve(base + "-javadoc.jar").toFile())) {
            assertArrayEquals(Files.readAllBytes(SOURCE.resolve("java/SerialPort.java")),
                    sources.getInputStream(sources.getEntry("SerialPort.java")).readAllBytes());
            assertNotNull(javadoc.getEntry("index.html"));
            assertNotNull(javadoc.getEntry("SerialPort.html"));
            assertNotNull(javadoc.getEntry("ruvek/SerialLine.html"));
            assertNotNull(javadoc.getEntry("overview-summary.html"));
            // What users may name, and nothing of the packages they may not.
            assertTrue(java.util.Collections.list(javadoc.entries()).stream()
                    .noneMatch(e -> e.getName().startsWith("ruvek/internal") || e.getName().startsWith("ruvek/terminal")));
        }
        assertTrue(new String(Files.readAllBytes(SOURCE.resolve("LICENSE")), StandardCharsets.UTF_8)
                .contains("Apache License\n                           Version 2.0, January 2004"));
    }
}
