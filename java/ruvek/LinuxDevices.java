// What Linux shows of a device in /proc and /sys: its numbers, its tty driver, whether it can be a serial port.
package ruvek;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/** Small readers of the system's own tables; each only looks, and says "don't know" rather than fail. */
final class LinuxDevices {
    static final int S_IFMT = 0170000;
    static final int S_IFCHR = 0020000;

    private LinuxDevices() {}

    /** Why a device that is a terminal is still no serial port; null when it may be one. */
    static String notSerial(long rdev) {
        if (rdev == -1 || major(rdev) != 5)
            return null;
        if (minor(rdev) == 0)
            return "not a serial port but /dev/tty, the controlling terminal of whoever opens it";
        if (minor(rdev) == 2)
            return "not a serial port but /dev/ptmx, which makes a new pseudo-terminal at every open";
        return null;
    }

    /** Whether a device can be a serial port: a terminal, and not one of the aliases above. */
    static boolean isTerminal(Path device) {
        long mode = attribute(device, "unix:mode");
        if (mode == -1)
            return true; // can't tell
        long rdev = attribute(device, "unix:rdev");
        return (mode & S_IFMT) == S_IFCHR && notSerial(rdev) == null
                && (ttyDriver(rdev) != null || lines(Paths.get("/proc/tty/drivers")).isEmpty());
    }

    /** The tty driver that owns a device number, from /proc/tty/drivers; null for none. */
    static String ttyDriver(long rdev) {
        if (rdev == -1)
            return null;
        for (String line : lines(Paths.get("/proc/tty/drivers"))) {
            String[] f = line.trim().split("\\s+");
            if (f.length < 4 || !f[2].matches("[0-9]+") || Long.parseLong(f[2]) != major(rdev))
                continue;
            String[] range = f[3].split("-");
            try {
                long lo = Long.parseLong(range[0]);
                long hi = Long.parseLong(range[range.length - 1]);
                if (minor(rdev) >= lo && minor(rdev) <= hi)
                    return f[0];
            } catch (NumberFormatException e) {
                // not a line of the table
            }
        }
        return null;
    }

    static long major(long dev) {
        return ((dev >>> 8) & 0xfff) | ((dev >>> 32) & ~0xfffL);
    }

    static long minor(long dev) {
        return (dev & 0xff) | ((dev >>> 12) & ~0xffL);
    }

    /** A numeric unix: attribute of a path, or -1 where the platform has none. */
    static long attribute(Path p, String name) {
        try {
            return ((Number) Files.getAttribute(p, name)).longValue();
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }

    /** What a folder holds; empty when there is no such folder. */
    static List<Path> entries(Path dir) {
        List<Path> list = new ArrayList<>();
        try (DirectoryStream<Path> s = Files.newDirectoryStream(dir)) {
            for (Path p : s)
                list.add(p);
        } catch (IOException e) {
            // no such folder here
        }
        return list;
    }

    /** A small text file's first line, trimmed; null when it cannot be read. */
    static String read(Path file) {
        List<String> l = lines(file);
        return l.isEmpty() ? null : l.get(0).trim();
    }

    static List<String> lines(Path file) {
        try {
            return Files.readAllLines(file, StandardCharsets.ISO_8859_1);
        } catch (IOException e) {
            return new ArrayList<>();
        }
    }
}
