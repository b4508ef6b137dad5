// A device the user may not open.
package ruvek;

/** The user may not open the device; on Linux, usually not in its group, such as {@code dialout}. */
public final class PortAccessDeniedException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    PortAccessDeniedException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
