// One open serial line as a pair of streams, shared safely by threads; many may be open at once.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.net.SocketTimeoutException;
import java.nio.charset.Charset;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

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
    /** A read with no time-out still returns this often to see whether its thread was interrupted. */
    private static final int SLICE_MS = 250;
    /** How often open tries again when the port's link changes under it. */
    private static final int OPEN_TRIES = 3;
    /** Our code for "the driver refused the settings", beside Win32's codes. */
    static final int SETTINGS_REFUSED = 0x20000001;

    private final long handle;
    private final int port;
    private final int baud;
    private final String device;
    private final Ports.Watch watch;
    private final InputStream in = new In();
    private final OutputStream out = new Out();
    private final byte[] oneIn = new byte[1];  // under `reading`
    private final byte[] oneOut = new byte[1]; // under `writing`

    // One reader and one writer at a time; close takes both, and `freeing`,
    // which available() holds, so that no call is left in the native line
    // when it is freed.
    private final Object freeing = new Object();
    private final ReentrantLock reading = new ReentrantLock();
    private final ReentrantLock writing = new ReentrantLock();
    private final AtomicBoolean closing = new AtomicBoolean();
    private volatile boolean closed;   // no new call starts
    private volatile boolean released; // the port is free for the next open
    private volatile int readTimeout;

    private SerialLine(long handle, int port, int baud, String device, Ports.Watch watch) {
        this.handle = handle;
        this.port = port;
        this.baud = baud;
        this.device = device;
        this.watch = watch;
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
        checkBaud(baud);
        return openNumbered(port, baud);
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
        return configured(openNumbered(port, settings.baud()), settings);
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
        return configured(open(device, settings.baud()), settings);
    }

    /** The line with the settings applied beyond 8N1; closed again when the driver refuses them. */
    private static SerialLine configured(SerialLine line, LineSettings settings) throws SerialPortException {
        if (settings.equals(LineSettings.of(settings.baud())))
            return line; // what every open sets
        try {
            line.setSettings(settings);
            return line;
        } catch (IOException | RuntimeException e) {
            line.close();
            if (e instanceof SerialPortException)
                throw (SerialPortException) e;
            if (e instanceof RuntimeException)
                throw (RuntimeException) e;
            throw new SerialPortException(line.port, line.device, "its settings could not be applied: " + e.getMessage());
        }
    }

    private static SerialLine openNumbered(int port, int baud) throws SerialPortException {
        Ports ports = Ports.current();
        String device = ports.device(port);
        // The native resolves COMn as the device named here does, link and all.
        byte[] name = nameBytes("\\\\.\\COM" + port);
        for (int tries = 1; ; tries++) {
            Object key = ports.key(device);
            long handle = nativeOpen(port, device, name, baud);
            if (handle < 0)
                throw ports.diagnose(port, baud, (int) -handle);
            // What the native opened must be what this names and watches.
            if (key == null || ports.heldByThisProcess(key) != Boolean.FALSE)
                return new SerialLine(handle, port, baud, device, ports.watch(device, key));
            LineNatives.close(handle);
            if (tries == OPEN_TRIES)
                throw new SerialPortException(port, device, "its link changed while it was being opened, "
                        + OPEN_TRIES + " times; nothing is open");
            device = ports.device(port);
        }
    }

    /**
     * Opens a device by its name at {@code baud} bits per second: on Linux a
     * path such as {@code /dev/ttyUSB0} or {@code /dev/serial/by-id/...}; on
     * Windows {@code COM7} or {@code \\.\COM12}. {@link SerialPortInfo#device()}
     * gives the name of each port the system shows. A name of the form
     * {@code COMn} on Linux opens port n, as {@link #open(int, int)} does.
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
        checkBaud(baud);
        if (device == null || device.isEmpty() || device.indexOf('\0') >= 0)
            throw new IllegalArgumentException("a device's name must be neither empty nor hold NUL: " + device);
        Matcher com = COM.matcher(device);
        if (com.matches()) {
            long n = Long.parseLong(com.group(1));
            if (n == (int) n)
                return open((int) n, baud);
        }
        Ports ports = Ports.current();
        Object key = ports.key(device);
        long handle = nativeOpen(NO_PORT, device, nameBytes(device), baud);
        if (handle < 0)
            throw ports.diagnose(device, baud, (int) -handle);
        return new SerialLine(handle, NO_PORT, baud, device, ports.watch(device, key));
    }

    private static final Pattern COM = Pattern.compile("(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,9})", Pattern.CASE_INSENSITIVE);

    private static void checkBaud(int baud) {
        if (baud <= 0)
            throw new IllegalArgumentException("the baud rate must be positive, not " + baud);
    }

    /** The name as the native takes it: in the system's encoding for file names, NUL-terminated. */
    private static byte[] nameBytes(String name) {
        String encoding = System.getProperty("sun.jnu.encoding");
        Charset cs;
        try {
            cs = encoding == null ? Charset.defaultCharset() : Charset.forName(encoding);
        } catch (IllegalArgumentException e) {
            cs = Charset.defaultCharset();
        }
        byte[] b = (name + '\0').getBytes(cs);
        return b;
    }

    private static long nativeOpen(int port, String device, byte[] name, int baud) throws SerialPortException {
        try {
            return LineNatives.open(name, baud);
        } catch (LinkageError e) {
            SerialPortException x = new SerialPortException(port, device, "the native library cannot be loaded: " + e);
            x.initCause(e);
            throw x;
        }
    }

    /**
     * The port number this line was opened with.
     *
     * @return the number passed to {@link #open(int, int)}, or {@link #NO_PORT} for a line opened by a path
     */
    public int port() {
        return port;
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
        return device;
    }

    private static final String[] FIELDS = {null, "baud", "data bits", "parity", "stop bits", "flow control"};

    /**
     * The settings the driver applies now, read back from it: what it really
     * took, not what was asked.
     *
     * @return the settings in force
     * @throws SerialPortException when the line is closed or the driver can't say
     */
    public LineSettings settings() throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            long packed = LineNatives.getFormat(handle);
            LineSettings s = packed < 0 ? null : LineSettings.unpack(packed);
            if (s == null)
                throw packed < 0 ? failure((int) packed, "reading the settings")
                        : new SerialPortException(port, device, "the driver reports settings no line runs at");
            return s;
        }
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
        synchronized (freeing) {
            checkOpen();
            int r = LineNatives.setFormat(handle, settings.baud(), settings.dataBits(), settings.parity().ordinal(),
                    settings.stopBits().ordinal(), settings.flowControl().ordinal());
            if (r > 0 && r < FIELDS.length) {
                Object[] asked = {null, settings.baud(), settings.dataBits(), settings.parity(), settings.stopBits(),
                        settings.flowControl()};
                throw new UnsupportedSettingsException(port, device, FIELDS[r],
                        "the driver refused " + FIELDS[r] + " " + asked[r] + "; the line keeps its settings");
            }
            if (r != 0)
                throw failure(r, "changing the settings");
        }
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
        return (modemStatus() & 0x10) != 0;
    }

    /**
     * @return whether DSR is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isDSR() throws SerialPortException {
        return (modemStatus() & 0x20) != 0;
    }

    /**
     * @return whether RI (ring indicator) is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isRI() throws SerialPortException {
        return (modemStatus() & 0x40) != 0;
    }

    /**
     * @return whether DCD (carrier detect) is raised
     * @throws SerialPortException "not supported by this device" where the device has no modem lines
     */
    public boolean isDCD() throws SerialPortException {
        return (modemStatus() & 0x80) != 0;
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
        enter(writing, false);
        try {
            int r = LineNatives.sendBreak(handle, ms);
            if (r != 0)
                throw failure(r, "the break");
        } finally {
            writing.unlock();
        }
    }

    /**
     * Returns once every byte written has left the driver. A close from
     * another thread ends the wait.
     *
     * @throws IOException when the line is closed or the driver fails
     */
    public void drain() throws IOException {
        enter(writing, false);
        try {
            int r = LineNatives.drain(handle);
            if (r != 0)
                throw failure(r, "draining");
        } finally {
            writing.unlock();
        }
    }

    /**
     * Discards every byte received and not yet read.
     *
     * @throws SerialPortException when the line is closed or the driver fails
     */
    public void purgeInput() throws SerialPortException {
        purge(8, "purging the input");
    }

    /**
     * Discards every byte written and not yet sent.
     *
     * @throws SerialPortException when the line is closed or the driver fails
     */
    public void purgeOutput() throws SerialPortException {
        purge(4, "purging the output");
    }

    private void purge(int flags, String what) throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            int r = LineNatives.purge(handle, flags);
            if (r != 0)
                throw failure(r, what);
        }
    }

    private void control(int function, String line) throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            int r = LineNatives.escape(handle, function);
            if (r == -LineNatives.ERROR_NOT_SUPPORTED)
                throw new SerialPortException(port, device, line + ": not supported by this device");
            if (r != 0)
                throw failure(r, "setting " + line);
        }
    }

    private int modemStatus() throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            int r = LineNatives.modemStatus(handle);
            if (r == -LineNatives.ERROR_NOT_SUPPORTED)
                throw new SerialPortException(port, device, "modem lines: not supported by this device");
            if (r < 0)
                throw failure(r, "reading the modem lines");
            return r;
        }
    }

    private void checkOpen() throws SerialPortException {
        if (closed)
            throw closedException();
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
        readTimeout = ms;
    }

    /**
     * The bytes that arrive. A read waits for at least one byte, then takes
     * what has arrived without waiting for more; it never reports the end of
     * the stream. It throws {@link SocketTimeoutException} when the read
     * time-out passes, {@link PortDisconnectedException} once the device has
     * gone, {@link InterruptedIOException} when the thread is interrupted
     * (its interrupt status stays set; a read with no time-out sees it
     * within a quarter of a second), and {@link SerialPortException} once
     * the line is closed. {@code available()} counts the bytes waiting.
     * Closing the stream closes the line.
     *
     * @return the line's input stream
     */
    public InputStream getInputStream() {
        return in;
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
        return out;
    }

    /**
     * Closes the line and frees the port for the next {@link #open}. A read
     * or write in progress on another thread ends with an exception at once,
     * and when this returns none is left: the port is free. Closing again
     * does nothing, once the first close has returned.
     */
    @Override
    public void close() {
        if (!closing.compareAndSet(false, true)) {
            while (!released) // another thread is closing: return once it has freed the port
                LockSupport.parkNanos(this, 100_000);
            return;
        }
        closed = true;
        try {
            LineNatives.cancel(handle); // ends the native calls in progress, and those about to start
        } finally {
            // The calls in flight now end at once; the native line is freed
            // only when none is left in it.
            reading.lock();
            writing.lock();
            try {
                synchronized (freeing) {
                    LineNatives.close(handle);
                }
            } finally {
                released = true;
                writing.unlock();
                reading.unlock();
            }
        }
    }

    /**
     * Takes the turn to read or write, waiting for the one whose turn it is.
     * A read waits no longer than its time-out in all; the time it waited
     * here is returned for that, in ms, or 0 when the turn was free.
     */
    private int enter(ReentrantLock turn, boolean read) throws IOException {
        long waited = 0;
        if (!turn.tryLock()) {
            long start = System.nanoTime();
            int timeout = read ? readTimeout : 0;
            try {
                if (timeout == 0)
                    turn.lockInterruptibly();
                else if (!turn.tryLock(timeout, TimeUnit.MILLISECONDS))
                    throw timedOut(timeout);
            } catch (InterruptedException e) {
                throw interrupted(read);
            }
            waited = (System.nanoTime() - start) / 1_000_000;
        }
        if (closed) {
            turn.unlock();
            throw closedException();
        }
        return (int) Math.min(waited, Integer.MAX_VALUE);
    }

    private InterruptedIOException interrupted(boolean read) {
        Thread.currentThread().interrupt();
        return new InterruptedIOException(SerialPortException.where(port, device)
                + (read ? ": read interrupted" : ": write interrupted"));
    }

    private SocketTimeoutException timedOut(int timeout) {
        return new SocketTimeoutException(SerialPortException.where(port, device) + ": read timed out after "
                + timeout + " ms");
    }

    private SerialPortException closedException() {
        return new SerialPortException(port, device, "the line is closed");
    }

    /** The exception for a native call that failed with minus {@code code}. */
    private SerialPortException failure(int code, String what) {
        if (closed || code == -LineNatives.ERROR_OPERATION_ABORTED)
            return closedException();
        String why = watch.gone();
        if (why != null)
            return new PortDisconnectedException(port, device, why);
        return new SerialPortException(port, device, what + " failed (system error " + -code + ")");
    }

    /** Reads into b, having waited {@code waited} ms for the turn; holds `reading`. */
    private int receive(byte[] b, int off, int len, int waited) throws IOException {
        int timeout = readTimeout;
        long start = System.nanoTime() - waited * 1_000_000L;
        for (;;) {
            int wait = SLICE_MS;
            if (timeout > 0) {
                long left = timeout - (System.nanoTime() - start) / 1_000_000;
                if (left <= 0)
                    throw timedOut(timeout);
                wait = (int) Math.min(left, Integer.MAX_VALUE);
            }
            int n = LineNatives.read(handle, b, off, len, wait);
            if (n > 0)
                return n;
            if (n < 0)
                throw failure(n, "read");
            if (timeout > 0)
                throw timedOut(timeout);
            if (Thread.interrupted())
                throw interrupted(true);
            if (closed)
                throw closedException();
        }
    }

    private void send(byte[] b, int off, int len) throws IOException {
        int n = LineNatives.write(handle, b, off, len);
        if (n != len)
            throw failure(n < 0 ? n : -31, "write");
    }

    private static void checkRange(byte[] b, int off, int len) {
        if (off < 0 || len < 0 || len > b.length - off)
            throw new IndexOutOfBoundsException("offset " + off + ", length " + len + ", array " + b.length);
    }

    private final class In extends InputStream {
        @Override
        public int read() throws IOException {
            int waited = enter(reading, true);
            try {
                receive(oneIn, 0, 1, waited);
                return oneIn[0] & 0xFF;
            } finally {
                reading.unlock();
            }
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return 0;
            int waited = enter(reading, true);
            try {
                return receive(b, off, len, waited);
            } finally {
                reading.unlock();
            }
        }

        @Override
        public int available() throws IOException {
            synchronized (freeing) {
                if (closed)
                    throw closedException();
                int n = LineNatives.available(handle);
                if (n < 0)
                    throw failure(n, "available");
                return n;
            }
        }

        @Override
        public void close() {
            SerialLine.this.close();
        }
    }

    private final class Out extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            enter(writing, false);
            try {
                oneOut[0] = (byte) b;
                send(oneOut, 0, 1);
            } finally {
                writing.unlock();
            }
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return;
            enter(writing, false);
            try {
                send(b, off, len);
            } finally {
                writing.unlock();
            }
        }

        @Override
        public void close() {
            SerialLine.this.close();
        }
    }
}
