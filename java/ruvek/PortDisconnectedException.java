// A device gone while its line was open.
package ruvek;

/** The device went away while the line was open: unplugged, or replaced by another. */
public final class PortDisconnectedException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    PortDisconnectedException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
