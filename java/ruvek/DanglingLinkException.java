// A port whose link points at nothing.
package ruvek;

/** The link that names the port points at a device that is not there. */
public final class DanglingLinkException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    DanglingLinkException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
