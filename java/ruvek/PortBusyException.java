// A port already held, by another process or by a line of this one.
package ruvek;

/** The port is held by another process, or a line is already open in this one. */
public final class PortBusyException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    PortBusyException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
