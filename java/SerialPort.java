// The four natives of one serial port, and the loading of the library behind them.
import ruvek.internal.NativeLoader;
import ruvek.internal.Os;

/**
 * Byte-at-a-time access to one serial port through the native library
 * {@code ruvek}.
 *
 * <p>The library keeps a single port for the whole process: every instance
 * shares it, and opening a port closes the one opened before. Every method
 * may be called from any thread, {@link #init} and {@link #close} too: a call
 * sees a port only once {@code init} has configured it, and {@code close}
 * ends the calls in flight ({@code send} false, {@code recc} -1) and returns
 * once they have left, so it is also the way to free a {@code send} blocked
 * on flow control.
 */
public class SerialPort {
    static {
        load();
    }

    /**
     * Loads the native library once per process: the one named by
     * {@code ruvek.library.path}, else the one this jar carries for the running
     * OS and architecture (cached per user), else {@code ruvek} from
     * {@code java.library.path}.
     */
    private static void load() {
        String os = Os.osName();
        String arch = System.getProperty("os.arch", "");
        NativeLoader.load(platform(os, arch), os, arch);
    }

    /** The jar's folder for a platform, such as windows-x86; null when it has none. */
    static String platform(String os, String arch) {
        return NativeLoader.platform(os, arch);
    }

    /**
     * Opens port {@code port} (COM1 is 1) at {@code baud} bits per second,
     * 8 data bits, no parity, one stop bit, no flow control, DTR and RTS off.
     * Any port that was open is closed first.
     *
     * @param port the port's number: 1 for COM1
     * @param baud bits per second, such as 9600; 0 or below is false
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
     * @param b the byte to send, in its low 8 bits
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
