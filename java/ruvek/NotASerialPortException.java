// A port that names something other than a serial device.
package ruvek;

/** The port names something that is not a serial device, such as a regular file. */
public final class NotASerialPortException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    NotASerialPortException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
