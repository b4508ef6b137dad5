import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.util.Locale;

/**
 * Byte-at-a-time access to one serial port through the native library
 * {@code ruvek}.
 *
 * <p>The library keeps a single port for the whole process: every instance
 * shares it, and opening a port closes the one opened before. Callers must not
 * run {@link #init} or {@link #close} while another thread is inside any of
 * these methods.
 */
public class SerialPort {
    static {
        load();
    }

    /**
     * Loads the native library that this jar carries for the running OS and
     * architecture, or else the one named {@code ruvek} on
     * {@code java.library.path}.
     */
    private static void load() {
        String os = System.getProperty("os.name", "");
        String arch = System.getProperty("os.arch", "");
        String platform = platform(os, arch);
        if (platform != null) {
            String file = platform.startsWith("windows") ? "ruvek.dll" : "libruvek.so";
            InputStream in = SerialPort.class.getResourceAsStream("/natives/" + platform + "/" + file);
            if (in != null) {
                System.load(extract(in, file).getAbsolutePath());
                return;
            }
        }
        try {
            System.loadLibrary("ruvek");
        } catch (UnsatisfiedLinkError e) {
            UnsatisfiedLinkError clear = new UnsatisfiedLinkError("ruvek has no native library for "
                    + os + " on " + arch + " (os.name, os.arch), in the jar or on java.library.path");
            clear.initCause(e);
            throw clear;
        }
    }

    /** The jar's folder for a platform, such as windows-x86; null when it has none. */
    static String platform(String os, String arch) {
        String a = arch.toLowerCase(Locale.ROOT);
        if (a.equals("amd64") || a.equals("x86_64")) {
            a = "x86_64";
        } else if (a.equals("x86") || a.matches("i[3-6]86")) {
            a = "x86";
        } else if (!a.equals("aarch64") && !a.equals("arm")) {
            return null; // "arm" is what Java reports on ARMv7 hard float, the jar's linux-arm
        }
        String o = os.toLowerCase(Locale.ROOT);
        if (o.startsWith("windows") && a.startsWith("x86")) {
            return "windows-" + a;
        }
        if (o.equals("linux")) {
            return "linux-" + a;
        }
        return null;
    }

    /** Copies a native out of the jar into a fresh file of its own, as System.load needs. */
    private static File extract(InputStream in, String name) {
        try {
            File dir = Files.createTempDirectory("ruvek").toFile();
            File file = new File(dir, name);
            try (InputStream src = in) {
                Files.copy(src, file.toPath());
            }
            // A loaded DLL cannot be deleted on Windows; elsewhere this tidies up.
            file.deleteOnExit();
            dir.deleteOnExit();
            return file;
        } catch (IOException e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot extract " + name + ": " + e);
            error.initCause(e);
            throw error;
        }
    }

    /**
     * Opens port {@code port} (COM1 is 1) at {@code baud} bits per second,
     * 8 data bits, no parity, one stop bit, no flow control, DTR and RTS off.
     * Any port that was open is closed first.
     *
     * @return true when the port is open and configured; false leaves no port open
     */
    public native boolean init(int port, int baud);

    /**
     * Polls for one received byte without waiting.
     *
     * @return the byte as 0 to 255, or -1 when none is waiting or no port is open
     */
    public native int recc();

    /**
     * Sends the low 8 bits of {@code b} and returns once the driver has taken them.
     *
     * @return true when the byte was written; false when no port is open or the write failed
     */
    public native boolean send(int b);

    /**
     * Releases the port. Harmless when no port is open.
     *
     * @return true when an open port was closed; false when none was open or the close failed
     */
    public native boolean close();
}
