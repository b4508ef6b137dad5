// The jars' native-image metadata names exactly the natives each jar carries, in both of GraalVM's forms.
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.Collections;
import java.util.List;
import java.util.TreeSet;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

class NativeImageMetadataTest {
    static final String FOLDER = "META-INF/native-image/ruvek/ruvek/";
    static final Pattern GLOB = Pattern.compile("\\{\"glob\": \"([^\"]+)\"\\}");
    static final Pattern QUOTED = Pattern.compile("\\{\"pattern\": \"\\\\\\\\Q([^\"\\\\]+)\\\\\\\\E\"\\}");

    static String read(JarFile jar, String name) throws IOException {
        assertNotNull(jar.getEntry(name), jar.getName() + " has no " + name);
        try (InputStream in = jar.getInputStream(jar.getEntry(name))) {
            return new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
    }

    static TreeSet<String> all(Pattern p, String text) {
        TreeSet<String> found = new TreeSet<>();
        Matcher m = p.matcher(text);
        while (m.find())
            assertTrue(found.add(m.group(1)), "named twice: " + m.group(1));
        return found;
    }

    @Test
    void eachJarsMetadataNamesEveryNativeItCarriesAndNothingElse() throws IOException {
        Path jarPath = Path.of(System.getProperty("ruvek.jar"));
        for (Path p : List.of(jarPath, jarPath.resolveSibling("ruvek-module.jar"))) {
            try (JarFile jar = new JarFile(p.toFile())) {
                TreeSet<String> carried = Collections.list(jar.entries()).stream().map(e -> e.getName())
                        .filter(n -> n.startsWith("natives/") && !n.endsWith("/"))
                        .collect(Collectors.toCollection(TreeSet::new));
                assertFalse(carried.isEmpty(), p + " carries no natives");
                String current = read(jar, FOLDER + "reachability-metadata.json");
                String older = read(jar, FOLDER + "resource-config.json");
                assertEquals(carried, all(GLOB, current), p + ": reachability-metadata.json");
                assertEquals(carried, all(QUOTED, older), p + ": resource-config.json");
                // Nothing else in them that a parser would trip on: one entry a line, and the braces balanced.
                for (String json : List.of(current, older)) {
                    assertEquals(json.chars().filter(c -> c == '{').count(), json.chars().filter(c -> c == '}').count());
                    assertEquals(json.chars().filter(c -> c == '[').count(), json.chars().filter(c -> c == ']').count());
                }
                if (p.equals(jarPath))
                    assertTrue(carried.contains("natives/linux-x86_64/libruvek.so")
                            || !System.getProperty("os.arch").equals("amd64"), carried.toString());
                else
                    assertTrue(carried.stream().allMatch(n -> n.contains("ruvekline")), "the module jar: " + carried);
            }
        }
    }
}
