package ruvek;

import java.io.IOException;
import java.net.URI;
import java.net.URISyntaxException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Ports on Linux, found as libruvek.so finds them: the user's link
 * {@code com<n>} when there is one, else {@code /dev/ttyS<n-1>}. Everything
 * here only looks; it never opens a device.
 */
final class LinuxPorts {
    private static final Pattern LINK = Pattern.compile("com(0|-?[1-9][0-9]{0,9})");
    private static final int S_IFMT = 0170000;
    private static final int S_IFCHR = 0020000;
    /** The longest path the system takes, with its terminating zero. */
    private static final int PATH_MAX = 4096;

    private LinuxPorts() {}

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

    /** The folder of the com links, as the library reads it from the environment; null without one. */
    static Path linkDir() {
        byte[] dir = linkDirBytes();
        return dir == null ? null : pathOf(dir);
    }

    /**
     * Whether the port's link has a path too long for the system, in the
     * bytes the library builds it from. The library refuses such a port:
     * it can't tell whether the link is there.
     */
    static boolean linkTooLong(int port) {
        byte[] dir = linkDirBytes();
        return dir != null && dir.length + ("/com" + port).length() >= PATH_MAX;
    }

    /** The user's link for the port, whether or not it exists; null without a folder for it. */
    static Path link(int port) {
        Path dir = linkDir();
        return dir == null ? null : dir.resolve("com" + port);
    }

    /** The path the library opens for the port; null when there is none. */
    static Path path(int port) {
        Path link = link(port);
        if (link != null && linkTooLong(port))
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

    /** The device for messages: where the path leads, as far as it leads. */
    static String device(int port) {
        Path p = path(port);
        if (p == null)
            return null;
        if (linkTooLong(port))
            return p.toString();
        try {
            return p.toRealPath().toString();
        } catch (IOException e) {
            try {
                return p.resolveSibling(Files.readSymbolicLink(p)).normalize().toString();
            } catch (IOException | UnsupportedOperationException notLink) {
                return p.toString();
            }
        }
    }

    /**
     * A device's absolute path as a Path; null for anything else, and for a
     * name that lost bytes when Java decoded it (U+FFFD stands for them).
     */
    static Path asPath(String device) {
        try {
            return device != null && device.startsWith("/") && device.indexOf('\uFFFD') < 0 ? Paths.get(device) : null;
        } catch (InvalidPathException e) {
            return null; // a name this JVM can't spell: nothing to compare or watch
        }
    }

    /** What identifies the device at a path (device and inode); null when it cannot be seen. */
    static Object key(String device) {
        Path p = asPath(device);
        try {
            return p == null ? null : Files.readAttributes(p, BasicFileAttributes.class).fileKey();
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * Whether one of this process's descriptors holds the device with this
     * key, from /proc/self/fd; null when that can't be read.
     */
    static Boolean heldByThisProcess(Object key) {
        List<Path> fds = entries(Paths.get("/proc/self/fd"));
        if (fds.isEmpty())
            return null;
        for (Path fd : fds) {
            try {
                if (key.equals(Files.readAttributes(fd, BasicFileAttributes.class).fileKey()))
                    return true;
            } catch (IOException e) {
                // closed as we looked, or no file behind it
            }
        }
        return false;
    }

    /** Why a device that is a terminal is still no serial port; null when it may be one. */
    private static String notSerial(long rdev) {
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

    /** Why init failed, from what the system shows of the port's path. */
    static SerialPortException diagnose(int port, int baud) {
        Path link = link(port);
        Path p = path(port);
        String device = device(port);
        if (p == null)
            return new NoSuchPortException(port, link == null ? null : link.toString(),
                    "no such port; ports below 1 exist only as links");
        if (linkTooLong(port))
            return new SerialPortException(port, device, "refused: the path of its link is longer than the "
                    + (PATH_MAX - 1) + " bytes the system takes");
        BasicFileAttributes a;
        try {
            a = Files.readAttributes(p, BasicFileAttributes.class);
        } catch (NoSuchFileException e) {
            if (p.equals(link))
                return new DanglingLinkException(port, device, "no such device; the link " + link + " points at nothing");
            return new NoSuchPortException(port, device, "no such port");
        } catch (AccessDeniedException e) {
            return new PortAccessDeniedException(port, device, "permission denied on the way to the device");
        } catch (IOException e) {
            return new SerialPortException(port, device, "cannot be examined: " + e.getMessage());
        }
        if (a.isDirectory() || a.isRegularFile())
            return new NotASerialPortException(port, device,
                    "not a serial device but " + (a.isDirectory() ? "a directory" : "a regular file"));
        Path real;
        try {
            real = p.toRealPath(); // not from device(), whose name may have lost bytes
        } catch (IOException e) {
            real = p;
        }
        long mode = attribute(real, "unix:mode");
        if (mode != -1 && (mode & S_IFMT) != S_IFCHR)
            return new NotASerialPortException(port, device, "not a serial device: not even a character device");
        String alias = notSerial(attribute(real, "unix:rdev"));
        if (alias != null)
            return new NotASerialPortException(port, device, alias);
        Path name = real.getFileName();
        if (name != null && name.toString().startsWith("ttyS")
                && "0".equals(read(Paths.get("/sys/class/tty").resolve(name).resolve("type"))))
            return new NoSuchPortException(port, device, "no such port; no UART behind it");
        if (!Files.isReadable(real) || !Files.isWritable(real))
            return new PortAccessDeniedException(port, device, "permission denied; is the user in group " + group(real) + "?");
        String holder = holder(real);
        if (holder != null)
            return new PortBusyException(port, device, "busy; " + holder);
        if (mode != -1 && ttyDriver(attribute(real, "unix:rdev")) == null)
            return new NotASerialPortException(port, device, "not a serial device: a character device but no terminal");
        return new UnsupportedSettingsException(port, device,
                "the driver refused " + baud + " baud, 8 data bits, no parity, one stop bit");
    }

    /** The group that may open the device, when its mode lets the group in; else the usual one. */
    private static String group(Path device) {
        try {
            PosixFileAttributes a = Files.readAttributes(device, PosixFileAttributes.class);
            if (a.permissions().contains(PosixFilePermission.GROUP_READ)
                    && a.permissions().contains(PosixFilePermission.GROUP_WRITE))
                return a.group().getName();
        } catch (IOException | UnsupportedOperationException e) {
            // fall back on the usual group
        }
        return "dialout";
    }

    /** Who holds the device's exclusive lock, from /proc/locks; null when nobody. */
    private static String holder(Path device) {
        long dev = attribute(device, "unix:dev");
        long ino = attribute(device, "unix:ino");
        if (dev == -1 || ino == -1)
            return null;
        String id = String.format("%02x:%02x:%d", major(dev), minor(dev), ino);
        String self = null;
        try {
            self = Files.readSymbolicLink(Paths.get("/proc/self")).toString();
        } catch (IOException e) {
            // then no holder is known to be this process
        }
        for (String line : lines(Paths.get("/proc/locks"))) {
            String[] f = line.replace("->", "").trim().split("\\s+");
            if (f.length > 5 && f[1].equals("FLOCK") && f[5].equals(id))
                return f[4].equals(self) ? "already open in this process" : "held by process " + f[4];
        }
        return null;
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

    /** The ports this system shows: the user's links, serial hardware, /dev/serial/by-id. */
    static List<SerialPortInfo> list() {
        Map<String, Integer> ports = new TreeMap<>(); // device -> number, or null for none
        Path dir = linkDir();
        List<Integer> linked = new ArrayList<>();
        if (dir != null) {
            for (Path link : entries(dir)) {
                Matcher m = LINK.matcher(link.getFileName().toString());
                if (!m.matches() || Long.parseLong(m.group(1)) != (int) Long.parseLong(m.group(1)))
                    continue;
                int n = Integer.parseInt(m.group(1));
                linked.add(n);
                try {
                    Path real = link.toRealPath();
                    if (isTerminal(real) && (ports.get(real.toString()) == null || n < ports.get(real.toString())))
                        ports.put(real.toString(), n);
                } catch (IOException dangling) {
                    // nothing to open there
                }
            }
        }
        for (Path tty : entries(Paths.get("/sys/class/tty"))) {
            String name = tty.getFileName().toString();
            if (!Files.exists(tty.resolve("device")) || (name.startsWith("ttyS") && "0".equals(read(tty.resolve("type")))))
                continue;
            Path dev = Paths.get("/dev").resolve(tty.getFileName());
            if (!Files.exists(dev) || ports.containsKey(dev.toString()))
                continue;
            Integer n = null;
            if (name.matches("ttyS[0-9]{1,9}")) {
                n = Integer.parseInt(name.substring(4)) + 1;
                if (linked.contains(n))
                    n = null; // that number is the link's
            }
            ports.put(dev.toString(), n);
        }
        for (Path id : entries(Paths.get("/dev/serial/by-id"))) {
            try {
                String real = id.toRealPath().toString();
                if (!ports.containsKey(real))
                    ports.put(real, null);
            } catch (IOException dangling) {
                // unplugged as we looked
            }
        }
        List<SerialPortInfo> list = new ArrayList<>();
        for (Map.Entry<String, Integer> e : ports.entrySet())
            list.add(describe(e.getValue(), e.getKey()));
        list.sort((x, y) -> x.port().isPresent() != y.port().isPresent() ? (x.port().isPresent() ? -1 : 1)
                : x.port().isPresent() ? Integer.compare(x.port().getAsInt(), y.port().getAsInt())
                : x.device().compareTo(y.device()));
        return list;
    }

    /** What /sys shows of a tty: its driver, and for USB the device's IDs and names. */
    private static SerialPortInfo describe(Integer port, String device) {
        Path dev = asPath(device);
        String name = dev == null || dev.getFileName() == null ? "" : dev.getFileName().toString();
        Path sys = Paths.get("/sys/class/tty", name, "device");
        String driver = null;
        String[] usb = new String[5];
        try {
            Path d = sys.toRealPath();
            // Newer kernels put the serial core's own port and controller between a tty and its hardware.
            while (d.getParent() != null && Files.readSymbolicLink(d.resolve("subsystem")).endsWith("serial-base"))
                d = d.getParent();
            driver = Files.readSymbolicLink(d.resolve("driver")).getFileName().toString();
        } catch (IOException | UnsupportedOperationException e) {
            // no driver link
        }
        try {
            // A USB serial tty hangs off an interface; the USB device with its IDs is a level or two up.
            Path d = sys.toRealPath();
            for (int up = 0; up < 4 && d != null; up++, d = d.getParent()) {
                if (Files.exists(d.resolve("idVendor"))) {
                    String[] files = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
                    for (int i = 0; i < files.length; i++)
                        usb[i] = read(d.resolve(files[i]));
                    break;
                }
            }
        } catch (IOException e) {
            // no device in /sys: a pseudo-terminal, say
        }
        if (driver == null && dev != null)
            driver = ttyDriver(attribute(dev, "unix:rdev"));
        return new SerialPortInfo(port, device, driver, usb[0], usb[1], usb[2], usb[3], usb[4]);
    }

    private static List<Path> entries(Path dir) {
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

    private static List<String> lines(Path file) {
        try {
            return Files.readAllLines(file, StandardCharsets.ISO_8859_1);
        } catch (IOException e) {
            return new ArrayList<>();
        }
    }
}
