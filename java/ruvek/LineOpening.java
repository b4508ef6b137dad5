// Opening a line: by number or by name, the native open, the link that may change meanwhile, and the settings.
package ruvek;

import java.nio.charset.Charset;
import ruvek.internal.Log;

/** How {@link SerialLine#open} finds and opens a port; its public overloads say what each does. */
final class LineOpening {
    /** How often an open tries again when the port's link changes under it. */
    private static final int OPEN_TRIES = 3;

    private LineOpening() {}

    /** Port {@code port}: COMn on Windows, on Linux its link or /dev/ttyS(n-1). */
    static SerialLine byNumber(int port, LineSettings settings) throws SerialPortException {
        if (!Log.fine()) // no message built, nor a lambda made, for each open of a program that doesn't debug
            return numbered(port, settings);
        return logged("port " + port, settings, () -> numbered(port, settings));
    }

    private interface Opener {
        SerialLine open() throws SerialPortException;
    }

    /** An open, with its start and its outcome at FINE. */
    private static SerialLine logged(String what, LineSettings settings, Opener opener) throws SerialPortException {
        Log.fine("opening " + what + " at " + settings);
        try {
            SerialLine line = opener.open();
            Log.fine("opened " + line);
            return line;
        } catch (SerialPortException | RuntimeException e) {
            Log.fine("opening " + what + " failed: " + e);
            throw e;
        }
    }

    private static SerialLine numbered(int port, LineSettings settings) throws SerialPortException {
        Ports ports = Ports.current();
        String device = ports.device(port);
        if (Log.fine())
            Log.fine("port " + port + " is " + device);
        // The native resolves COMn as the device named here does, link and all.
        byte[] name = nameBytes("\\\\.\\COM" + port);
        for (int tries = 1; ; tries++) {
            Object key = ports.key(device);
            long handle = nativeOpen(port, device, name, settings);
            if (handle < 0)
                throw ports.diagnose(port, settings, (int) -handle);
            // What the native opened must be what this names and watches.
            if (key == null || ports.heldByThisProcess(key) != Boolean.FALSE)
                return new SerialLine(new NativeTransport(handle), port, settings.baud(), device, ports.watch(device, key));
            LineNatives.close(handle);
            if (Log.fine())
                Log.fine(device + ": its link changed while it was being opened; trying again");
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
        if (!Log.fine())
            return named(device, settings);
        return logged(device, settings, () -> named(device, settings));
    }

    private static SerialLine named(String device, LineSettings settings) throws SerialPortException {
        if (device.startsWith("socket://")) // bytes only: the server sets its own line up
            return new SerialLine(TcpTransport.connect(device), SerialLine.NO_PORT, settings.baud(), device,
                    new Ports.Watch());
        if (device.startsWith("rfc2217://")) // the server owns the port and takes every setting
            return Rfc2217Transport.open(device, settings);
        long n = comNumber(device);
        if (n > 0 && n == (int) n)
            return numbered((int) n, settings);
        Ports ports = Ports.current();
        Object key = ports.key(device);
        long handle = nativeOpen(SerialLine.NO_PORT, device, nameBytes(device), settings);
        if (handle < 0)
            throw ports.diagnose(device, settings, (int) -handle);
        return new SerialLine(new NativeTransport(handle), SerialLine.NO_PORT, settings.baud(), device,
                ports.watch(device, key));
    }

    /**
     * n of COMn or \\.\COMn, which open by number on every system: COM in
     * any case, n of 1 to 10 digits with no leading zero; -1 for any other
     * name. By hand, not by a pattern, whose first compiling costs a start
     * milliseconds.
     */
    static long comNumber(String name) {
        String s = name.startsWith("\\\\.\\") ? name.substring(4) : name;
        if (s.length() < 4 || s.length() > 13 || !s.regionMatches(true, 0, "COM", 0, 3) || s.charAt(3) == '0')
            return -1;
        long n = 0;
        for (int i = 3; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c < '0' || c > '9')
                return -1;
            n = n * 10 + (c - '0');
        }
        return n;
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
            LineNatives.requireLoaded();
            return LineNatives.open(name, s.baud(), s.dataBits(), s.parity().ordinal(), s.stopBits().ordinal(),
                    s.flowControl().ordinal(), s.options());
        } catch (LinkageError e) {
            SerialPortException x = new SerialPortException(port, device, "the native library cannot be loaded: " + e.getMessage());
            x.initCause(e);
            throw x;
        }
    }
}
