// Ports on Windows: the registry's list of them.
package ruvek;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** Port n is the device COMn; the registry's SERIALCOMM key lists the ports there are. */
final class WindowsPorts extends Ports {
    static final WindowsPorts INSTANCE = new WindowsPorts();

    private static final String SERIALCOMM = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    private static final Pattern VALUE = Pattern.compile("^\\s*(\\S.*?)\\s+REG_SZ\\s+COM([1-9][0-9]{0,8})\\s*$");

    private WindowsPorts() {}

    @Override
    List<SerialPortInfo> list() {
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
}
