// A client bundle: on each start it opens both ends of a null-modem through the package ruvek and echoes every byte value.
package ruvek.osgiclient;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import org.osgi.framework.BundleActivator;
import org.osgi.framework.BundleContext;
import ruvek.SerialLine;

/**
 * Takes the null-modem's two ends from the properties ruvek.test.a and
 * ruvek.test.b, sends all 256 byte values each way, and appends one word per
 * start to the system property ruvek.test.starts: "echoed" or what failed. A
 * failure also fails the start, so that the framework reports it.
 */
public final class EchoActivator implements BundleActivator {
    static final String STARTS = "ruvek.test.starts";

    @Override
    public void start(BundleContext context) throws Exception {
        try {
            echo(context.getProperty("ruvek.test.a"), context.getProperty("ruvek.test.b"));
            note("echoed");
        } catch (Exception | Error e) {
            note("failed:" + e);
            throw e;
        }
    }

    @Override
    public void stop(BundleContext context) {}

    private static void echo(String a, String b) throws IOException {
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        try (SerialLine one = SerialLine.open(a, 115200); SerialLine two = SerialLine.open(b, 115200)) {
            one.setReadTimeout(20_000);
            two.setReadTimeout(20_000);
            for (SerialLine[] way : new SerialLine[][] {{one, two}, {two, one}}) {
                way[0].getOutputStream().write(all);
                byte[] got = new byte[256];
                InputStream in = way[1].getInputStream();
                for (int k = 0, n; k < got.length; k += n)
                    if ((n = in.read(got, k, got.length - k)) < 0)
                        throw new IOException("the line ended after " + k + " bytes");
                if (!Arrays.equals(all, got))
                    throw new IOException("the bytes from " + way[0].device() + " came back changed");
            }
        }
    }

    private static synchronized void note(String what) {
        String before = System.getProperty(STARTS);
        System.setProperty(STARTS, before == null ? what : before + " " + what);
    }
}
