// Line settings the driver refused.
package ruvek;

/** The driver refused the line settings, such as the baud rate. */
public final class UnsupportedSettingsException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    UnsupportedSettingsException(int port, String device, String reason) {
        super(port, device, reason);
    }
}
