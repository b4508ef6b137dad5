// One open serial line as a pair of streams, shared safely by threads; many may be open at once.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.net.SocketTimeoutException;
import java.util.Set;
import java.util.concurrent.Executor;

/**
 * An open serial port, as streams: 8 data bits, no parity, one stop bit, no
 * flow control, DTR and RTS off. A process may have many lines open at
 * once, each on its own port; a port has one owner at a time, across
 * processes and class loaders, and {@link #open} refuses one that is taken.
 *
 * <pre>{@code
 * try (SerialLine line = SerialLine.open("/dev/ttyUSB0", 115200)) {
 *     line.setReadTimeout(2000);
 *     line.getOutputStream().write("AT\r".getBytes(StandardCharsets.US_ASCII));
 *     int reply = line.getInputStream().read();
 * }
 * }</pre>
 *
 * <p>A read waits in the system until a byte arrives, then takes everything
 * that has arrived, up to the buffer's length, in one native call; a write
 * hands its whole range to the driver in one native call and returns once
 * the driver has taken every byte.
 *
 * <p>Any number of threads may share a line. Readers take turns, so each
 * byte reaches exactly one of them; writers take turns too, so the bytes of
 * one {@code write} call are never mixed with another's. Reading and writing
 * never wait for each other. Any thread may close the line: a read or write
 * in progress or waiting for its turn then throws at once, as with a socket,
 * and once {@code close} returns the port is free for the next {@link #open}.
 */
public final class SerialLine implements AutoCloseable {
    /** The port number of a line opened by a device's name that has none. */
    public static final int NO_PORT = Integer.MIN_VALUE;

    private final int baud;
    final LineCore core;
    final LineStreams streams = new LineStreams(this);

    /** A line over an open transport; LineOpening and LinePair make them. */
    SerialLine(Transport transport, int port, int baud, String device, Ports.Watch watch) {
        this.baud = baud;
        core = new LineCore(transport, port, device, watch);
    }

    /**
     * Opens port {@code port} at {@code baud} bits per second. On Windows,
     * port n is COMn; on Linux, the device that {@code ~/.config/ruvek/com<n>}
     * links to, else {@code /dev/ttyS<n-1>}.
     *
     * @param port the port number: 1 is COM1
     * @param baud bits per second, such as 9600
     * @return the open line
     * @throws PortBusyException when another process, class loader or line holds the port
     * @throws NoSuchPortException when there is no such port
     * @throws PortAccessDeniedException when the user may not open the device
     * @throws DanglingLinkException when the port's link points at nothing
     * @throws NotASerialPortException when the port names something that is not a serial device
     * @throws UnsupportedSettingsException when the driver refuses the settings
     * @throws SerialPortException for any other failure, such as a native library that cannot load
     * @throws IllegalArgumentException when {@code baud} is not positive
     */
    public static SerialLine open(int port, int baud) throws SerialPortException {
        return LineOpening.byNumber(port, LineSettings.of(baud));
    }

    /**
     * Opens port {@code port} with the given settings, as {@link #open(int, int)} does.
     *
     * @param port the port number: 1 is COM1
     * @param settings the line's settings
     * @return the open line, with every setting in force
     * @throws UnsupportedSettingsException naming the setting the driver refused; nothing is left open
     * @throws SerialPortException as {@link #open(int, int)} does
     */
    public static SerialLine open(int port, LineSettings settings) throws SerialPortException {
        return LineOpening.byNumber(port, settings);
    }

    /**
     * Opens a device by its name with the given settings, as {@link #open(String, int)} does.
     *
     * @param device the device's name
     * @param settings the line's settings
     * @return the open line, with every setting in force
     * @throws UnsupportedSettingsException naming the setting the driver refused; nothing is left open
     * @throws SerialPortException as {@link #open(String, int)} does
     */
    public static SerialLine open(String device, LineSettings settings) throws SerialPortException {
        return LineOpening.byName(device, settings);
    }

    /**
     * Opens a device by its name at {@code baud} bits per second: on Linux a
     * path such as {@code /dev/ttyUSB0} or {@code /dev/serial/by-id/...}; on
     * Windows {@code COM7} or {@code \\.\COM12}. {@link SerialPortInfo#device()}
     * gives the name of each port the system shows. A name of the form
     * {@code COMn} on Linux opens port n, as {@link #open(int, int)} does.
     * {@code socket://host:port} reaches a server that carries bytes only,
     * over TCP: there settings, modem lines and breaks are refused as not
     * supported by this transport, and the settings given are not sent.
     *
     * @param device the device's name
     * @param baud bits per second, such as 9600
     * @return the open line; its {@link #port()} is {@link #NO_PORT} for a path
     * @throws PortBusyException when another process, class loader or line holds the device
     * @throws NoSuchPortException when there is no such device
     * @throws PortAccessDeniedException when the user may not open it
     * @throws NotASerialPortException when the name is no serial device's
     * @throws UnsupportedSettingsException when the driver refuses the settings
     * @throws SerialPortException for any other failure, such as a native library that cannot load
     * @throws IllegalArgumentException when {@code baud} is not positive or the name is empty
     */
    public static SerialLine open(String device, int baud) throws SerialPortException {
        return LineOpening.byName(device, LineSettings.of(baud));
    }

    /**
     * The port number this line was opened with.
     *
     * @return the number passed to {@link #open(int, int)}, or {@link #NO_PORT} for a line opened by a path
     */
    public int port() {
        return core.port;
    }

    /**
     * The baud rate this line was opened with.
     *
     * @return bits per second
     */
    public int baud() {
        return baud;
    }

    /**
     * The device behind the port, such as {@code /dev/ttyUSB0} or {@code COM3}.
     *
     * @return the device's path or name
     */
    public String device() {
        return core.device;
    }

    /**
     * The settings the driver applies now, read back from it: what it really
     * took, not what was asked.
     *
     * @return the settings in force
     * @throws SerialPortException when the line is closed or the driver can't say
     */
    public LineSettings settings() throws SerialPortException {
        long[] packed = new long[1];
        core.quick(h -> {
            packed[0] = h.getFormat();
            return packed[0] < 0 ? (int) packed[0] : 0;
        }, "reading the settings");
        LineSettings s = LineSettings.unpack(packed[0]);
        if (s == null)
            throw new SerialPortException(core.port, core.device, "the driver reports settings no line runs at: "
                    + LineSettings.describe(packed[0]));
        return s;
    }

    /**
     * Changes the line's settings. Should the driver refuse any of them, the
     * line keeps the settings it had, all of them.
     *
     * @param settings the new settings
     * @throws UnsupportedSettingsException naming the setting the driver refused
     * @throws SerialPortException when the line is closed or the driver fails
     */
    public void setSettings(LineSettings settings) throws SerialPortException {
        int field = core.quick(h -> h.setFormat(settings.baud(), settings.dataBits(),
                settings.parity().ordinal(), settings.stopBits().ordinal(), settings.flowControl().ordinal(),
                settings.options()),
                "changing the settings");
        if (field > 0)
            throw settings.refused(field, core.port, core.device, core.transport.unconfirmedMs(field));
    }

    /**
     * Raises or lowers DTR. A line opens with DTR and RTS both lowered.
     *
     * @param on true to raise it
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public void setDTR(boolean on) throws SerialPortException {
        control(on ? 5 : 6, "DTR");
    }

    /**
     * Raises or lowers RTS; under RTS/CTS flow control the driver drives it.
     *
     * @param on true to raise it
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public void setRTS(boolean on) throws SerialPortException {
        control(on ? 3 : 4, "RTS");
    }

    /**
     * @return whether CTS is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isCTS() throws SerialPortException {
        return (core.modemStatus() & 0x10) != 0;
    }

    /**
     * @return whether DSR is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isDSR() throws SerialPortException {
        return (core.modemStatus() & 0x20) != 0;
    }

    /**
     * @return whether RI (ring indicator) is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isRI() throws SerialPortException {
        return (core.modemStatus() & 0x40) != 0;
    }

    /**
     * @return whether DCD (carrier detect) is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isDCD() throws SerialPortException {
        return (core.modemStatus() & 0x80) != 0;
    }

    /**
     * Holds the line in the break state for {@code ms}, after the writes
     * before it, then releases it.
     *
     * @param ms milliseconds, 0 or more
     * @throws IllegalArgumentException when {@code ms} is negative
     * @throws IOException when the line is closed or the driver fails
     */
    public void sendBreak(int ms) throws IOException {
        if (ms < 0)
            throw new IllegalArgumentException("a break's length must not be negative, not " + ms);
        core.afterWrites(h -> h.sendBreak(ms), "the break");
    }

    /**
     * Returns once every byte written has left the driver. A close from
     * another thread ends the wait.
     *
     * @throws IOException when the line is closed or the driver fails
     */
    public void drain() throws IOException {
        core.afterWrites(Transport::drain, "draining");
    }

    /**
     * Discards every byte received and not yet read.
     *
     * @throws SerialPortException when the line is closed or the driver fails
     */
    public void purgeInput() throws SerialPortException {
        core.quick(h -> h.purge(8), "purging the input");
    }

    /**
     * Discards every byte written and not yet sent.
     *
     * @throws SerialPortException when the line is closed or the driver fails
     */
    public void purgeOutput() throws SerialPortException {
        core.quick(h -> h.purge(4), "purging the output");
    }

    /**
     * Tells {@code listener} of the events of {@code types} on a thread of
     * the library's, named after the line, as {@link LineEvents} describes.
     *
     * @param types what to be told of
     * @param listener who is told
     * @return the listening, whose {@code close} ends it
     * @throws IllegalStateException when the line has a listener already
     * @throws SerialPortException when the line is closed, or when modem
     *     lines are asked for where the device has none
     */
    public LineEvents listen(Set<LineEvent.Type> types, LineListener listener) throws SerialPortException {
        return listen(types, listener, null);
    }

    /**
     * As {@link #listen(Set, LineListener)}, but tells the listener on
     * {@code executor}, still one event at a time and in order.
     *
     * @param types what to be told of
     * @param listener who is told
     * @param executor where the listener runs; null for the line's own thread
     * @return the listening, whose {@code close} ends it
     * @throws IllegalStateException when the line has a listener already
     * @throws SerialPortException when the line is closed, or when modem
     *     lines are asked for where the device has none
     */
    public LineEvents listen(Set<LineEvent.Type> types, LineListener listener, Executor executor)
            throws SerialPortException {
        return listen(types, null, listener, executor);
    }

    /**
     * As {@link #listen(Set, LineListener, Executor)}, with
     * {@link LineEvent.Type#MESSAGE} among the types: the listening then
     * reads the line's bytes as messages that {@code framing} ends, so that
     * no other reader should read them meanwhile.
     *
     * @param types what to be told of
     * @param framing where messages end; null unless MESSAGE is asked for
     * @param listener who is told
     * @param executor where the listener runs; null for the line's own thread
     * @return the listening, whose {@code close} ends it
     * @throws IllegalStateException when the line has a listener already
     * @throws SerialPortException when the line is closed, or when modem
     *     lines are asked for where the device has none
     */
    public LineEvents listen(Set<LineEvent.Type> types, Framing framing, LineListener listener, Executor executor)
            throws SerialPortException {
        if (types == null || types.isEmpty() || listener == null)
            throw new IllegalArgumentException("listen needs a listener and at least one event type");
        if (types.contains(LineEvent.Type.MESSAGE) != (framing != null))
            throw new IllegalArgumentException("MESSAGE events and a framing come together");
        MessageReader messages = framing == null ? null : new MessageReader(this, framing);
        return core.listen(this, types, listener, executor, messages);
    }

    private void control(int function, String line) throws SerialPortException {
        core.quick(h -> h.escape(function), line);
    }

    /**
     * How long a read waits for its first byte, its turn among readers
     * included, before it throws {@link SocketTimeoutException}; the line
     * stays usable after one.
     *
     * @param ms milliseconds; 0, the default, waits until a byte arrives
     * @throws IllegalArgumentException when {@code ms} is negative
     */
    public void setReadTimeout(int ms) {
        if (ms < 0)
            throw new IllegalArgumentException("the read time-out must not be negative, not " + ms);
        core.readTimeout = ms;
    }

    /**
     * The bytes that arrive. A read waits for at least one byte, then takes
     * what has arrived without waiting for more; it never reports the end of
     * the stream. It throws {@link SocketTimeoutException} when the read
     * time-out passes, {@link PortDisconnectedException} once the device has
     * gone, {@link InterruptedIOException} when the thread is interrupted
     * (its interrupt status stays set, and the line open), and {@link SerialPortException} once
     * the line is closed. {@code available()} counts the bytes waiting.
     * Closing the stream closes the line.
     *
     * @return the line's input stream
     */
    public InputStream getInputStream() {
        return streams.in;
    }

    /**
     * The bytes to send: a write returns once the driver has taken every
     * byte, so there is nothing to flush. A write that fails throws, with
     * {@link PortDisconnectedException} when the device has gone. Closing the
     * stream closes the line.
     *
     * @return the line's output stream
     */
    public OutputStream getOutputStream() {
        return streams.out;
    }

    /**
     * Closes the line and frees the port for the next {@link #open}. A read
     * or write in progress on another thread ends with an exception at once,
     * and when this returns none is left: the port is free. Closing again
     * does nothing, once the first close has returned.
     */
    @Override
    public void close() {
        core.close();
    }

    @Override
    public String toString() {
        return "SerialLine " + SerialPortException.where(core.port, core.device) + (core.closed ? ", closed" : "");
    }
}
