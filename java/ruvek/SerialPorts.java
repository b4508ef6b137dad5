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
}
