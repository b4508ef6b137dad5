// A line's settings as one immutable value: baud, data bits, parity, stop bits, flow control, latency, RS-485.
package ruvek;

import java.util.Locale;
import java.util.Objects;

/**
 * The settings of a serial line: the baud rate, 5 to 8 data bits, the
 * parity, 1, 1.5 or 2 stop bits, the flow control, and two that only some
 * drivers have: low latency and RS-485 direction control. Immutable; each
 * {@code with...} returns a changed copy. Out-of-range values are refused
 * here, before any native call, naming the value.
 *
 * <pre>{@code
 * LineSettings modbus = LineSettings.of(9600).withFormat("8E1");
 * }</pre>
 */
public final class LineSettings {
    /** The parity bit after the data bits. */
    public enum Parity {
        /** No parity bit. */
        NONE,
        /** A bit that makes the count of ones odd. */
        ODD,
        /** A bit that makes the count of ones even. */
        EVEN,
        /** A bit that is always 1. */
        MARK,
        /** A bit that is always 0. */
        SPACE;

        char letter() {
            return "NOEMS".charAt(ordinal());
        }
    }

    /** The stop bits after each character. */
    public enum StopBits {
        /** One stop bit. */
        ONE("1"),
        /** One and a half, which a UART gives after 5 data bits only. */
        ONE_POINT_FIVE("1.5"),
        /** Two stop bits. */
        TWO("2");

        private final String text;

        StopBits(String text) {
            this.text = text;
        }

        @Override
        public String toString() {
            return text;
        }
    }

    /** Who may pause the sender: nobody, the RTS and CTS lines, or XON and XOFF characters. */
    public enum FlowControl {
        /** Nobody: the sender never pauses. */
        NONE,
        /** The receiver lowers its RTS, which is the sender's CTS, to pause it. */
        RTS_CTS,
        /** The receiver sends XOFF (0x13) to pause the sender and XON (0x11) to resume it. */
        XON_XOFF
    }

    private final int baud;
    private final int dataBits;
    private final Parity parity;
    private final StopBits stopBits;
    private final FlowControl flowControl;
    /** LOW_LATENCY and RS485, as LineNatives takes them. */
    private final int options;

    static final int LOW_LATENCY = 1, RS485 = 2;

    private LineSettings(int baud, int dataBits, Parity parity, StopBits stopBits, FlowControl flowControl, int options) {
        if (baud <= 0)
            throw new IllegalArgumentException("the baud rate must be positive, not " + baud);
        if (dataBits < 5 || dataBits > 8)
            throw new IllegalArgumentException("data bits must be 5 to 8, not " + dataBits);
        this.baud = baud;
        this.dataBits = dataBits;
        this.parity = Objects.requireNonNull(parity, "parity");
        this.stopBits = Objects.requireNonNull(stopBits, "stop bits");
        this.flowControl = Objects.requireNonNull(flowControl, "flow control");
        if ((options & RS485) != 0 && flowControl == FlowControl.RTS_CTS)
            throw new IllegalArgumentException("RS-485 direction control takes RTS, which RTS/CTS flow control needs");
        this.options = options;
    }

    /**
     * 8 data bits, no parity, one stop bit, no flow control: what
     * {@link SerialLine#open(int, int)} sets.
     *
     * @param baud bits per second, positive
     * @return the settings
     * @throws IllegalArgumentException when {@code baud} is not positive
     */
    public static LineSettings of(int baud) {
        return new LineSettings(baud, 8, Parity.NONE, StopBits.ONE, FlowControl.NONE, 0);
    }

    /**
     * These settings with another baud rate.
     *
     * @param baud bits per second, positive
     * @return the changed copy
     */
    public LineSettings withBaud(int baud) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /**
     * These settings with other data bits.
     *
     * @param dataBits 5 to 8
     * @return the changed copy
     */
    public LineSettings withDataBits(int dataBits) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /**
     * These settings with another parity.
     *
     * @param parity the parity
     * @return the changed copy
     */
    public LineSettings withParity(Parity parity) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /**
     * These settings with other stop bits.
     *
     * @param stopBits the stop bits
     * @return the changed copy
     */
    public LineSettings withStopBits(StopBits stopBits) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /**
     * These settings with another flow control.
     *
     * @param flowControl the flow control
     * @return the changed copy
     */
    public LineSettings withFlowControl(FlowControl flowControl) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /**
     * These settings with the data bits, parity and stop bits written the
     * usual way: {@code 8N1}, {@code 7E1}, {@code 8E2}, {@code 5N1.5}; the
     * parity one of N, O, E, M, S in either case.
     *
     * @param format the format
     * @return the changed copy
     * @throws IllegalArgumentException when the format is not of that form
     */
    public LineSettings withFormat(String format) {
        String f = format == null ? "" : format.trim().toUpperCase(Locale.ROOT);
        if (!f.matches("[5-8][NOEMS](1|1\\.5|2)"))
            throw new IllegalArgumentException("a format is data bits, parity and stop bits, such as 8N1 or 7E1, not "
                    + format);
        Parity p = Parity.values()["NOEMS".indexOf(f.charAt(1))];
        String stop = f.substring(2);
        StopBits s = stop.equals("1") ? StopBits.ONE : stop.equals("2") ? StopBits.TWO : StopBits.ONE_POINT_FIVE;
        return new LineSettings(baud, f.charAt(0) - '0', p, s, flowControl, options);
    }

    /**
     * These settings asking the driver to hand each byte over as soon as it
     * arrives, rather than gathering them first: on Linux the serial flag
     * ASYNC_LOW_LATENCY, which ftdi_sio turns into the adapter's latency
     * timer of 1 ms (16 ms otherwise). A driver without it refuses the field
     * "low latency"; Windows has no such setting and refuses it too.
     *
     * @param on whether to ask for it
     * @return the changed copy
     */
    public LineSettings withLowLatency(boolean on) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, on ? options | LOW_LATENCY : options & ~LOW_LATENCY);
    }

    /**
     * These settings with RS-485 direction control: the driver raises RTS
     * while it sends and lowers it after, to turn a half-duplex transceiver
     * round. On Linux TIOCSRS485, on Windows RTS_CONTROL_TOGGLE. A driver
     * without it refuses the field "RS-485". It takes RTS, so it goes with
     * no flow control or XON/XOFF, not with RTS/CTS.
     *
     * @param on whether to ask for it
     * @return the changed copy
     * @throws IllegalArgumentException when the flow control is RTS/CTS
     */
    public LineSettings withRs485(boolean on) {
        return new LineSettings(baud, dataBits, parity, stopBits, flowControl, on ? options | RS485 : options & ~RS485);
    }

    /** @return whether low latency is asked for */
    public boolean lowLatency() {
        return (options & LOW_LATENCY) != 0;
    }

    /** @return whether RS-485 direction control is asked for */
    public boolean rs485() {
        return (options & RS485) != 0;
    }

    /** LOW_LATENCY and RS485, as the natives take them. */
    int options() {
        return options;
    }

    /** @return bits per second */
    public int baud() {
        return baud;
    }

    /** @return 5 to 8 */
    public int dataBits() {
        return dataBits;
    }

    /** @return the parity */
    public Parity parity() {
        return parity;
    }

    /** @return the stop bits */
    public StopBits stopBits() {
        return stopBits;
    }

    /** @return the flow control */
    public FlowControl flowControl() {
        return flowControl;
    }

    @Override
    public boolean equals(Object o) {
        if (!(o instanceof LineSettings))
            return false;
        LineSettings s = (LineSettings) o;
        return baud == s.baud && dataBits == s.dataBits && parity == s.parity && stopBits == s.stopBits
                && flowControl == s.flowControl && options == s.options;
    }

    @Override
    public int hashCode() {
        return Objects.hash(baud, dataBits, parity, stopBits, flowControl, options);
    }

    /** @return such as {@code 9600 8E1, flow control NONE}, with {@code , low latency} and {@code , RS-485} when asked */
    @Override
    public String toString() {
        return baud + " " + dataBits + parity.letter() + stopBits + ", flow control " + flowControl
                + (lowLatency() ? ", low latency" : "") + (rs485() ? ", RS-485" : "");
    }

    /** The names of the fields, as LineNatives.setFormat numbers them from 1. */
    private static final String[] FIELDS = {"baud", "data bits", "parity", "stop bits", "flow control", "low latency",
        "RS-485"};

    /**
     * The exception for the refusal of field {@code field} (1 to 5) of these
     * settings on an open line: the driver's, or, when waitedMs is above 0, a
     * server's silence for that long.
     */
    UnsupportedSettingsException refused(int field, int port, String device, long waitedMs) {
        return refused(field, port, device, waitedMs, "the line keeps its settings");
    }

    /** The same at open, where no line was left open to keep anything. */
    UnsupportedSettingsException refusedAtOpen(int field, int port, String device, long waitedMs) {
        return refused(field, port, device, waitedMs, "nothing is open");
    }

    private UnsupportedSettingsException refused(int field, int port, String device, long waitedMs, String after) {
        Object[] asked = {baud, dataBits, parity, stopBits, flowControl, lowLatency() ? "on" : "off", rs485() ? "on" : "off"};
        String name = field >= 1 && field <= FIELDS.length ? FIELDS[field - 1] : null;
        String what = name == null ? this.toString() : name + " " + asked[field - 1];
        return new UnsupportedSettingsException(port, device, name, waitedMs > 0
                ? "the server did not confirm " + what + " within " + waitedMs + " ms; " + after
                : "the driver refused " + what + "; " + after);
    }

    /** The driver's report as the native packs it, field by field, for a report that no settings match. */
    static String describe(long packed) {
        return (int) packed + " baud, " + ((packed >>> 32) & 0xFF) + " data bits, parity " + ((packed >>> 40) & 0xFF)
                + ", stop bits " + ((packed >>> 48) & 0xFF) + ", flow " + ((packed >>> 56) & 0x0F) + ", options "
                + ((packed >>> 60) & 0x03);
    }

    /** The fields packed as the natives pack them (see LineNatives.getFormat). */
    static long pack(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        return (baud & 0xFFFFFFFFL) | (long) (dataBits & 0xFF) << 32 | (long) (parity & 0xFF) << 40
                | (long) (stopBits & 0xFF) << 48 | (long) (flow & 0x0F) << 56 | (long) (options & 0x03) << 60;
    }

    long packed() {
        return pack(baud, dataBits, parity.ordinal(), stopBits.ordinal(), flowControl.ordinal(), options());
    }

    /** Field n (1 baud to 7 RS-485, as refusals number them) of packed settings. */
    static long field(long packed, int n) {
        switch (n) {
        case 1: return (int) packed;
        case 2: return (packed >>> 32) & 0xFF;
        case 3: return (packed >>> 40) & 0xFF;
        case 4: return (packed >>> 48) & 0xFF;
        case 5: return (packed >>> 56) & 0x0F;
        case 6: return (packed >>> 60) & LOW_LATENCY;
        default: return (packed >>> 60) & RS485;
        }
    }

    /** The settings as the native packs them (see LineNatives.getFormat). */
    static LineSettings unpack(long packed) {
        int b = (int) packed;
        int bits = (int) (packed >>> 32) & 0xFF;
        int p = (int) (packed >>> 40) & 0xFF;
        int s = (int) (packed >>> 48) & 0xFF;
        int f = (int) (packed >>> 56) & 0x0F;
        int o = (int) (packed >>> 60) & 0x03;
        if (b <= 0 || bits < 5 || bits > 8 || p >= Parity.values().length || s >= StopBits.values().length
                || f >= FlowControl.values().length)
            return null; // nothing a line could run at: the driver's own report is odd
        if ((o & RS485) != 0 && f == FlowControl.RTS_CTS.ordinal())
            return null;
        return new LineSettings(b, bits, Parity.values()[p], StopBits.values()[s], FlowControl.values()[f], o);
    }
}
