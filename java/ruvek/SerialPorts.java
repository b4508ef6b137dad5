// The public listing of this machine's serial ports; each OS's own class finds them.
package ruvek;

import java.util.Collections;
import java.util.List;

/** The serial ports of this machine. */
public final class SerialPorts {
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
        try {
            return Ports.current().list();
        } catch (RuntimeException e) {
            return Collections.emptyList(); // a listing that cannot be made is an empty one
        }
    }

    /**
     * Watches the serial ports: the listener is told of each port that
     * {@link #list()} shows now, as added, then of each that goes or comes,
     * until the watcher is closed. On Linux the kernel's uevents for ttys,
     * the links' folder and {@code /dev/serial/by-id} are watched (without
     * uevents, as in many containers, {@code /dev}'s tty nodes instead); on
     * Windows the registry's {@code SERIALCOMM} key.
     *
     * @param listener told of the ports, on the watcher's own thread
     * @return the watcher, to close
     * @throws SerialPortException where ports can't be watched: an OS that ruvek
     *     doesn't know, a native library that can't be loaded, or a system that refuses the watch
     */
    public static PortWatcher watch(PortWatchListener listener) throws SerialPortException {
        return PortWatcher.start(listener);
    }
}
