// A port that does not exist.
package ruvek;

/** The port does not exist: no device, or no hardware behind it. */
public final class NoSuchPortException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    NoSuchPortException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
