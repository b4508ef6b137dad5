// The README's example programs compile against the library as it is.
package com.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.StringWriter;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.tools.JavaCompiler;
import javax.tools.JavaFileObject;
import javax.tools.SimpleJavaFileObject;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.Test;

class ReadmeExamplesTest {
    static final Pattern BLOCK = Pattern.compile("```java\n(.*?)```", Pattern.DOTALL);
    static final Pattern CLASS = Pattern.compile("public class (\\w+)");

    static String readme() throws java.io.IOException {
        return new String(Files.readAllBytes(Path.of(System.getProperty("ruvek.source"), "README.md")),
                StandardCharsets.UTF_8);
    }

    static JavaFileObject source(String path, String text) {
        return new SimpleJavaFileObject(URI.create("string:///" + path), JavaFileObject.Kind.SOURCE) {
            @Override
            public CharSequence getCharContent(boolean ignoreEncodingErrors) {
                return text;
            }
        };
    }

    /** The README's module-info.java and the program beside it, compiled against the module jar alone. */
    @Test
    void theModuleExampleCompilesOnTheModulePath() throws Exception {
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assumeTrue(javac != null, "this JVM has no compiler (a runtime image)");
        String module = null, ask = null;
        Matcher m = BLOCK.matcher(readme());
        while (m.find()) {
            if (m.group(1).contains("module com.example.app"))
                module = m.group(1);
            else if (m.group(1).contains("public class Ask"))
                ask = m.group(1);
        }
        assertTrue(module != null && ask != null, "the README has no module example");
        Path moduleJar = Path.of(System.getProperty("ruvek.jar")).resolveSibling("ruvek-module.jar");
        Path out = Files.createTempDirectory("ruvek-readme-module");
        try {
            StringWriter said = new StringWriter();
            boolean ok = javac.getTask(said, null, null,
                    List.of("-Xlint:all", "-Werror", "-p", moduleJar.toString(), "-d", out.toString()), null,
                    List.of(source("module-info.java", module), source("com/example/app/Ask.java", ask))).call();
            assertTrue(ok, said.toString());
            assertTrue(Files.exists(out.resolve("module-info.class")) && Files.exists(out.resolve("com/example/app/Ask.class")));
        } finally {
            ruvek.testing.NullModem.removeFolder(out);
        }
    }

    @Test
    void everyWholeProgramInTheReadmeCompiles() throws Exception {
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assumeTrue(javac != null, "this JVM has no compiler (a runtime image)");
        List<JavaFileObject> programs = new ArrayList<>();
        Matcher m = BLOCK.matcher(readme());
        while (m.find()) {
            Matcher name = CLASS.matcher(m.group(1));
            if (!name.find())
                continue; // a fragment
            programs.add(source(name.group(1) + ".java", m.group(1)));
        }
        assertTrue(programs.size() >= 3, "the README's programs: " + programs.size());
        Path out = Files.createTempDirectory("ruvek-readme");
        try {
            StringWriter said = new StringWriter();
            boolean ok = javac.getTask(said, null, null,
                    List.of("-Xlint:all", "-Werror", "-cp", System.getProperty("java.class.path"), "-d", out.toString()),
                    null, programs).call();
            assertTrue(ok, said.toString());
            assertEquals("", said.toString());
        } finally {
            ruvek.testing.NullModem.removeFolder(out);
        }
    }
}
