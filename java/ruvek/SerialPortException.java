// The failure to open or use a port, naming the port and its device; the base of the others.
package ruvek;

import java.io.IOException;

/**
 * A serial port could not be opened or used. Its message names the port and
 * the device behind it, then the reason, as in
 * {@code "COM5 (/dev/ttyUSB0): permission denied; is the user in group dialout?"}.
 * The subclasses tell the reasons apart.
 */
public class SerialPortException extends IOException {
    private static final long serialVersionUID = 1L;

    /** The port number asked for. */
    private final int port;
    /** The device behind the port. */
    private final String device;

    SerialPortException(int port, String device, String reason) {
        this(where(port, device) + ": " + reason, port, device);
    }

    /** With the whole message made already, as a line makes its "closed" one at its open. */
    SerialPortException(String message, int port, String device) {
        super(message);
        this.port = port;
        this.device = device;
    }

    static String where(int port, String device) {
        if (port == SerialLine.NO_PORT)
            return device;
        return device == null || device.equals("COM" + port) ? "COM" + port : "COM" + port + " (" + device + ")";
    }

    /**
     * The port number that was asked for.
     *
     * @return the number passed to {@link SerialLine#open(int, int)}, or
     *     {@link SerialLine#NO_PORT} for a device opened by its path
     */
    public int port() {
        return port;
    }

    /**
     * The device behind the port, such as {@code /dev/ttyUSB0} or {@code COM3}.
     *
     * @return the device's path or name
     */
    public String device() {
        return device;
    }
}
