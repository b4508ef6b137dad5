// Echoes every byte value both ways over a null-modem through the module ruvek, as a jlink image holds it.
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.module.Configuration;
import java.lang.module.ModuleFinder;
import java.lang.module.ModuleReference;
import java.lang.reflect.Method;
import java.util.Arrays;
import java.util.Optional;
import java.util.Set;

/**
 * Usage: ImageEcho A B [layer], A and B the two ends of one null-modem.
 * With "layer", echoes again through a second copy of the module ruvek,
 * defined by a class loader of its own in a layer above the boot layer.
 * Prints "echoed" per echo, then the natives loaded, one per class loader.
 */
public final class ImageEcho {
    private ImageEcho() {}

    public static void main(String[] args) throws Exception {
        echo(Class.forName("ruvek.SerialLine"), args[0], args[1]);
        if (args.length > 2 && args[2].equals("layer")) {
            ModuleLayer boot = ModuleLayer.boot();
            // The image's ruvek alone: the JDK's modules it requires stay the boot layer's.
            ModuleReference ruvek = ModuleFinder.ofSystem().find("ruvek").orElseThrow();
            ModuleFinder only = new ModuleFinder() {
                @Override
                public Optional<ModuleReference> find(String name) {
                    return name.equals("ruvek") ? Optional.of(ruvek) : Optional.empty();
                }

                @Override
                public Set<ModuleReference> findAll() {
                    return Set.of(ruvek);
                }
            };
            Configuration c = boot.configuration().resolve(only, ModuleFinder.of(), Set.of("ruvek"));
            ModuleLayer layer = boot.defineModulesWithOneLoader(c, ClassLoader.getSystemClassLoader());
            Class<?> second = layer.findLoader("ruvek").loadClass("ruvek.SerialLine");
            if (second == Class.forName("ruvek.SerialLine"))
                throw new AssertionError("the layer gave the boot layer's class");
            echo(second, args[0], args[1]);
        }
        System.out.println("loaded " + System.getProperty("ruvek.native.loaded.ruvekline"));
    }

    /** Opens both ends through SerialLine of the class given, sends all 256 values each way. */
    static void echo(Class<?> line, String a, String b) throws Exception {
        Method open = line.getMethod("open", String.class, int.class);
        Method in = line.getMethod("getInputStream");
        Method out = line.getMethod("getOutputStream");
        Method timeout = line.getMethod("setReadTimeout", int.class);
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        try (AutoCloseable one = (AutoCloseable) open.invoke(null, a, 115200);
             AutoCloseable two = (AutoCloseable) open.invoke(null, b, 115200)) {
            for (Object[] way : new Object[][] {{one, two}, {two, one}}) {
                timeout.invoke(way[1], 20_000);
                ((OutputStream) out.invoke(way[0])).write(all);
                byte[] got = ((InputStream) in.invoke(way[1])).readNBytes(256);
                if (!Arrays.equals(all, got))
                    throw new IOException("the 256 values came back as " + Arrays.toString(got));
            }
        }
        System.out.println("echoed");
    }
}
