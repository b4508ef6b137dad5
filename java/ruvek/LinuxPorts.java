// Ports on Linux: the device behind a number, why one failed to open, and which ports there are.
package ruvek;

import static ruvek.LinuxDevices.S_IFCHR;
import static ruvek.LinuxDevices.S_IFMT;
import static ruvek.LinuxDevices.attribute;
import static ruvek.LinuxDevices.entries;
import static ruvek.LinuxDevices.isTerminal;
import static ruvek.LinuxDevices.lines;
import static ruvek.LinuxDevices.major;
import static ruvek.LinuxDevices.minor;
import static ruvek.LinuxDevices.notSerial;
import static ruvek.LinuxDevices.read;
import static ruvek.LinuxDevices.ttyDriver;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Ports on Linux, found as libruvek.so finds them (see {@link LinuxLinks}).
 * Everything here only looks; it never opens a device.
 */
final class LinuxPorts extends Ports {
    static final LinuxPorts INSTANCE = new LinuxPorts();


    private LinuxPorts() {}

    @Override
    String device(int port) {
        return new LinuxLinks(port).device();
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
    @Override
    Object key(String device) {
        Path p = asPath(device);
        try {
            return p == null ? null : Files.readAttributes(p, BasicFileAttributes.class).fileKey();
        } catch (IOException e) {
            return null;
        }
    }

    /** From /proc/self/fd; null when that can't be read. */
    @Override
    Boolean heldByThisProcess(Object key) {
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

    @Override
    Watch watch(String device, Object key) {
        Path watched = asPath(device);
        return watched == null ? super.watch(device, key) : new Watch() {
            /** The device has gone when its path no longer leads to what was opened. */
            @Override
            String gone() {
                try {
                    Object now = Files.readAttributes(watched, BasicFileAttributes.class).fileKey();
                    if (key != null && !key.equals(now)) // without a key, only the path's disappearance tells
                        return "disconnected; another device is at its path now";
                } catch (NoSuchFileException e) {
                    return "disconnected; the device is gone";
                } catch (IOException e) {
                    // cannot tell: keep the line
                }
                return null;
            }
        };
    }

    /** Why the open failed, from what the system shows of the port's path. */
    @Override
    SerialPortException diagnose(int port, LineSettings settings, int error) {
        if (LineNatives.refusedField(error) >= 0 || error == LineNatives.ERROR_DEVICE_REMOVED)
            return fromCode(port, device(port), settings, error);
        return examine(port, settings, error);
    }

    /** Why a device opened by its path failed: who holds it, when it is busy. */
    @Override
    SerialPortException diagnose(String device, LineSettings settings, int error) {
        Path p = asPath(device);
        String holder = p == null || error != LineNatives.ERROR_SHARING_VIOLATION ? null : holder(p);
        if (holder != null)
            return new PortBusyException(SerialLine.NO_PORT, device, "busy; " + holder);
        if (p != null && noUart(p))
            return new NoSuchPortException(SerialLine.NO_PORT, device, NO_UART);
        return super.diagnose(device, settings, error);
    }

    private static final String NO_UART = "no such port; no UART behind it";

    /** Whether the device is a ttyS that the kernel made with no UART behind it. */
    private static boolean noUart(Path device) {
        Path real;
        try {
            real = device.toRealPath();
        } catch (IOException e) {
            return false;
        }
        Path name = real.getFileName();
        return name != null && name.toString().startsWith("ttyS")
                && "0".equals(read(Paths.get("/sys/class/tty").resolve(name).resolve("type")));
    }

    /** Why the port's device could not be opened, from what the system shows of its path. */
    private SerialPortException examine(int port, LineSettings settings, int error) {
        LinuxLinks route = new LinuxLinks(port);
        Path link = route.link;
        Path p = route.path;
        String device = route.device();
        if (p == null)
            return new NoSuchPortException(port, link == null ? null : link.toString(),
                    "no such port; ports below 1 exist only as links");
        if (route.tooLong)
            return new SerialPortException(port, device, "refused: the path of its link is longer than the "
                    + (LinuxLinks.PATH_MAX - 1) + " bytes the system takes");
        BasicFileAttributes a;
        try {
            a = Files.readAttributes(p, BasicFileAttributes.class);
        } catch (NoSuchFileException e) {
            if (p.equals(link))
                return new DanglingLinkException(port, device, "no such device; the link " + link + " points at nothing");
            return noSuchPort(port, device);
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
        if (noUart(real))
            return new NoSuchPortException(port, device, NO_UART);
        if (!Files.isReadable(real) || !Files.isWritable(real))
            return new PortAccessDeniedException(port, device, "permission denied; is the user in group " + group(real) + "?");
        String holder = holder(real);
        if (holder != null)
            return new PortBusyException(port, device, "busy; " + holder);
        if (mode != -1 && ttyDriver(attribute(real, "unix:rdev")) == null)
            return new NotASerialPortException(port, device, "not a serial device: a character device but no terminal");
        return fromCode(port, device, settings, error);
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
        try {
            device = device.toRealPath();
        } catch (IOException e) {
            return null;
        }
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

    /** The ports this system shows: the user's links, serial hardware, /dev/serial/by-id. */
    @Override
    List<SerialPortInfo> list() {
        Map<String, Integer> ports = new TreeMap<>(); // device -> number, or null for none
        Path dir = LinuxLinks.linkDir();
        List<Integer> linked = new ArrayList<>();
        if (dir != null) {
            // Compiled here, not with the class: an open never needs it.
            Pattern comLink = Pattern.compile("com(0|-?[1-9][0-9]{0,9})");
            for (Path link : entries(dir)) {
                Matcher m = comLink.matcher(link.getFileName().toString());
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
}
