package ruvek;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** The serial ports of this machine. */
public final class SerialPorts {
    private static final String SERIALCOMM = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    private static final Pattern VALUE = Pattern.compile("^\\s*(\\S.*?)\\s+REG_SZ\\s+COM([1-9][0-9]{0,8})\\s*$");

    private SerialPorts() {}

    /**
     * The serial ports the system shows, numbered ones first. On Linux: the
     * links {@code com<n>} in {@code $XDG_CONFIG_HOME/ruvek/}, the serial
     * hardware in {@code /sys/class/tty} (leaving out ttyS entries with no
     * UART) and {@code /dev/serial/by-id}; on Windows: the registry's
     * {@code SERIALCOMM} key. Elsewhere, and when the system shows nothing,
     * the list is empty.
     *
     * @return the ports found; never null
     */
    public static List<SerialPortInfo> list() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        try {
            if (os.equals("linux"))
                return LinuxPorts.list();
            if (os.startsWith("windows"))
                return windows();
        } catch (RuntimeException e) {
            // a listing that cannot be made is an empty one
        }
        return Collections.emptyList();
    }

    private static List<SerialPortInfo> windows() {
        try {
            Process p = new ProcessBuilder("reg", "query", SERIALCOMM).redirectErrorStream(true).start();
            p.getOutputStream().close();
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            try (InputStream in = p.getInputStream()) {
                byte[] buf = new byte[4096];
                for (int n; (n = in.read(buf)) > 0; )
                    out.write(buf, 0, n);
            }
            if (!p.waitFor(10, TimeUnit.SECONDS) || p.exitValue() != 0)
                return Collections.emptyList();
            return parseSerialComm(new String(out.toByteArray(), Charset.defaultCharset()));
        } catch (IOException e) {
            return Collections.emptyList();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return Collections.emptyList();
        }
    }

    /** The ports in the output of {@code reg query} on the SERIALCOMM key, by number. */
    static List<SerialPortInfo> parseSerialComm(String output) {
        List<SerialPortInfo> list = new ArrayList<>();
        for (String line : output.split("\r?\n")) {
            Matcher m = VALUE.matcher(line);
            if (m.matches()) {
                int n = Integer.parseInt(m.group(2));
                list.add(new SerialPortInfo(n, "COM" + n, m.group(1)));
            }
        }
        list.sort((x, y) -> Integer.compare(x.port().getAsInt(), y.port().getAsInt()));
        return list;
    }

    /** Whether the registry lists COM{@code port}. */
    static boolean windowsHas(int port) {
        for (SerialPortInfo info : windows())
            if (info.port().getAsInt() == port)
                return true;
        return false;
    }
}
