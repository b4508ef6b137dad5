// The Linux rule from port number to device path: the user's link com<n>, else /dev/ttyS<n-1>.
package ruvek;

import java.io.IOException;
import java.net.URI;
import java.net.URISyntaxException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.Arrays;
import java.util.Map;
import java.util.TreeMap;

/**
 * Where a port number leads on Linux, worked out as libruvek.so works it out
 * (layers/termios/names.cpp, devicePath): {@code $XDG_CONFIG_HOME/ruvek/com<n>},
 * else {@code ~/.config/ruvek/com<n>}, when that link exists; else
 * {@code /dev/ttyS<n-1>}. A change to the rule there is a change here.
 */
final class LinuxLinks {
    /** The longest path the system takes, with its terminating zero. */
    static final int PATH_MAX = 4096;

    /** The port's link, whether or not it exists; null without a folder for it. */
    final Path link;
    /** Whether the link's path is too long for the system: the library then refuses the port. */
    final boolean tooLong;
    /** The path the library opens for the port; null when there is none. */
    final Path path;

    /** Resolves the port's route once, from one reading of the environment. */
    LinuxLinks(int port) {
        byte[] dir = linkDirBytes();
        Path d = dir == null ? null : pathOf(dir);
        link = d == null ? null : d.resolve("com" + port);
        tooLong = dir != null && dir.length + ("/com" + port).length() >= PATH_MAX;
        path = pathFor(port);
    }

    private Path pathFor(int port) {
        if (link != null && tooLong)
            return link; // refused, never the default device
        if (link != null) {
            try {
                Files.readAttributes(link, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
                return link;
            } catch (NoSuchFileException e) {
                // no link: the default device
            } catch (IOException e) {
                return link; // a link that can't be seen is no reason to fall back on another device
            }
        }
        return port >= 1 ? Paths.get("/dev/ttyS" + (port - 1)) : null;
    }

    /** The device for messages: where the path leads, as far as it leads; null without a path. */
    String device() {
        if (path == null)
            return null;
        if (tooLong)
            return path.toString();
        try {
            return path.toRealPath().toString();
        } catch (IOException e) {
            try {
                return path.resolveSibling(Files.readSymbolicLink(path)).normalize().toString();
            } catch (IOException | UnsupportedOperationException notLink) {
                return path.toString();
            }
        }
    }

    /** The folder of the com links, as the library reads it from the environment; null without one. */
    static Path linkDir() {
        byte[] dir = linkDirBytes();
        return dir == null ? null : pathOf(dir);
    }

    /**
     * The folder of the com links in the bytes the library builds it from;
     * null without one. Java's own view of the environment is decoded in
     * the locale's encoding and may have lost bytes (a home like /home/josé
     * under LC_ALL=C), so the bytes come from /proc when it shows them.
     */
    private static byte[] linkDirBytes() {
        Map<String, byte[]> env = environment();
        byte[] config = env != null ? env.get("XDG_CONFIG_HOME") : encoded(System.getenv("XDG_CONFIG_HOME"));
        byte[] home = env != null ? env.get("HOME") : encoded(System.getenv("HOME"));
        if (config != null && config.length > 0 && config[0] == '/')
            return concat(config, "/ruvek");
        if (home != null && home.length > 0 && home[0] == '/')
            return concat(home, "/.config/ruvek");
        return null;
    }

    /** This process's environment as bytes, from /proc/self/environ; null when that can't be read. */
    private static Map<String, byte[]> environment() {
        byte[] all;
        try {
            all = Files.readAllBytes(Paths.get("/proc/self/environ"));
        } catch (IOException | RuntimeException e) {
            return null;
        }
        Map<String, byte[]> env = new TreeMap<>();
        for (int start = 0, end; start < all.length; start = end + 1) {
            for (end = start; end < all.length && all[end] != 0; end++) {
                // to the end of this variable
            }
            int eq = start;
            while (eq < end && all[eq] != '=')
                eq++;
            String name = new String(all, start, eq - start, StandardCharsets.ISO_8859_1);
            if (eq < end && !env.containsKey(name)) // the first of two, as getenv finds it
                env.put(name, Arrays.copyOfRange(all, eq + 1, end));
        }
        return env;
    }

    /** A string in the bytes Java would name files with; null for null. */
    private static byte[] encoded(String s) {
        if (s == null)
            return null;
        try {
            return s.getBytes(Charset.forName(System.getProperty("sun.jnu.encoding", "UTF-8")));
        } catch (RuntimeException e) {
            return s.getBytes(StandardCharsets.UTF_8);
        }
    }

    private static byte[] concat(byte[] head, String tail) {
        byte[] t = tail.getBytes(StandardCharsets.US_ASCII);
        byte[] all = Arrays.copyOf(head, head.length + t.length);
        System.arraycopy(t, 0, all, head.length, t.length);
        return all;
    }

    /**
     * An absolute path made of exactly these bytes, whatever the locale: a
     * file URI carries any byte, and Java opens what it names byte for byte.
     * Null when no path can be (a byte 0).
     */
    private static Path pathOf(byte[] bytes) {
        StringBuilder uri = new StringBuilder("file://");
        byte previous = 0;
        for (byte b : bytes) {
            if (b == '/' && previous == '/')
                continue; // "//" is "/" to the system, and would start a host in a URI
            previous = b;
            if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || "/-._~".indexOf(b) >= 0)
                uri.append((char) b);
            else
                uri.append('%').append(Character.forDigit((b >> 4) & 0xF, 16)).append(Character.forDigit(b & 0xF, 16));
        }
        try {
            return Paths.get(new URI(uri.toString()));
        } catch (URISyntaxException | RuntimeException e) {
            return null;
        }
    }
}
