// Opening a line: by number or by name, the native open, the link that may change meanwhile, and the settings.
package ruvek;

import java.nio.charset.Charset;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** How {@link SerialLine#open} finds and opens a port; its public overloads say what each does. */
final class LineOpening {
    /** How often an open tries again when the port's link changes under it. */
    private static final int OPEN_TRIES = 3;
    /** COMn and \\.\COMn, which open by number on every system. */
    private static final Pattern COM = Pattern.compile("(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,9})", Pattern.CASE_INSENSITIVE);

    private LineOpening() {}

    /** Port {@code port}: COMn on Windows, on Linux its link or /dev/ttyS(n-1). */
    static SerialLine byNumber(int port, LineSettings settings) throws SerialPortException {
        Ports ports = Ports.current();
        String device = ports.device(port);
        // The native resolves COMn as the device named here does, link and all.
        byte[] name = nameBytes("\\\\.\\COM" + port);
        for (int tries = 1; ; tries++) {
            Object key = ports.key(device);
            long handle = nativeOpen(port, device, name, settings);
            if (handle < 0)
                throw ports.diagnose(port, settings, (int) -handle);
            // What the native opened must be what this names and watches.
            if (key == null || ports.heldByThisProcess(key) != Boolean.FALSE)
                return new SerialLine(handle, port, settings.baud(), device, ports.watch(device, key));
            LineNatives.close(handle);
            if (tries == OPEN_TRIES)
                throw new SerialPortException(port, device, "its link changed while it was being opened, "
                        + OPEN_TRIES + " times; nothing is open");
            device = ports.device(port);
        }
    }

    /** A device by its name: a path, or a COM name, which opens by number. */
    static SerialLine byName(String device, LineSettings settings) throws SerialPortException {
        if (device == null || device.isEmpty() || device.indexOf('\0') >= 0)
            throw new IllegalArgumentException("a device's name must be neither empty nor hold NUL: " + device);
        Matcher com = COM.matcher(device);
        if (com.matches()) {
            long n = Long.parseLong(com.group(1));
            if (n == (int) n)
                return byNumber((int) n, settings);
        }
        Ports ports = Ports.current();
        Object key = ports.key(device);
        long handle = nativeOpen(SerialLine.NO_PORT, device, nameBytes(device), settings);
        if (handle < 0)
            throw ports.diagnose(device, settings, (int) -handle);
        return new SerialLine(handle, SerialLine.NO_PORT, settings.baud(), device, ports.watch(device, key));
    }

    /** The name as the native takes it: in the system's encoding for file names, NUL-terminated. */
    private static byte[] nameBytes(String name) {
        String encoding = System.getProperty("sun.jnu.encoding");
        Charset cs;
        try {
            cs = encoding == null ? Charset.defaultCharset() : Charset.forName(encoding);
        } catch (IllegalArgumentException e) {
            cs = Charset.defaultCharset();
        }
        return (name + '\0').getBytes(cs);
    }

    /** Opens the port in every field of the settings, whatever an earlier program left set. */
    private static long nativeOpen(int port, String device, byte[] name, LineSettings s) throws SerialPortException {
        try {
            return LineNatives.open(name, s.baud(), s.dataBits(), s.parity().ordinal(), s.stopBits().ordinal(),
                    s.flowControl().ordinal(), s.options());
        } catch (LinkageError e) {
            SerialPortException x = new SerialPortException(port, device, "the native library cannot be loaded: " + e);
            x.initCause(e);
            throw x;
        }
    }
}
