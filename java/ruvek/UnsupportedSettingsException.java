// Line settings the driver refused, naming the setting.
package ruvek;

/** The driver refused the line settings; {@link #field()} names the one it refused. */
public final class UnsupportedSettingsException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    /** The setting refused, such as "data bits"; null when the driver didn't say which. */
    private final String field;

    UnsupportedSettingsException(int port, String device, String reason) {
        this(port, device, null, reason);
    }

    UnsupportedSettingsException(int port, String device, String field, String reason) {
        super(port, device, reason);
        this.field = field;
    }

    /**
     * The setting the driver refused: "baud", "data bits", "parity", "stop
     * bits", "flow control", "low latency" or "RS-485".
     *
     * @return its name, or null when the driver refused the settings as a whole
     */
    public String field() {
        return field;
    }
}
