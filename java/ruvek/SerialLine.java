// One open serial line as a pair of streams, shared safely by threads and class loaders.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.net.SocketTimeoutException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;

/**
 * An open serial port, as streams: 8 data bits, no parity, one stop bit, no
 * flow control, DTR and RTS off. A process can have one line open at a time
 * (the native library drives one port per process), across class loaders
 * too; {@link #open} refuses a second while the first is open.
 *
 * <pre>{@code
 * try (SerialLine line = SerialLine.open(5, 115200)) {
 *     line.setReadTimeout(2000);
 *     line.getOutputStream().write("AT\r".getBytes(StandardCharsets.US_ASCII));
 *     int reply = line.getInputStream().read();
 * }
 * }</pre>
 *
 * <p>Any number of threads may share a line. Readers take turns, so each
 * byte reaches exactly one of them; writers take turns too, so the bytes of
 * one {@code write} call are never mixed with another's. Reading and writing
 * never wait for each other. Any thread may close the line: a read or write
 * in progress or waiting for its turn then throws at once, as with a socket,
 * and once {@code close} returns the port is free for the next {@link #open}.
 */
public final class SerialLine implements AutoCloseable {
    /** The system property that marks the process's open line, shared by every class loader. */
    static final String OWNER = "ruvek.port.owner";
    /** A waiting read polls without pause this long, so a byte that follows closely is seen at once... */
    private static final long SPIN_NANOS = 50_000;
    /** ...then sleeps between polls this long: little CPU while idle, a byte seen well within 1 ms. */
    static final long PARK_NANOS = 600_000;
    /** How seldom an idle read looks whether the device is still there. */
    private static final long CHECK_NANOS = 100_000_000;
    /** How often open tries again when the port's link changes under it. */
    private static final int OPEN_TRIES = 3;

    private static NativePort bridge; // found once; guarded by SerialLine.class

    private final NativePort natives;
    private final int port;
    private final int baud;
    private final String device;
    private final String owner;
    private final Ports.Watch watch;
    private final InputStream in = new In();
    private final OutputStream out = new Out();

    // One reader and one writer at a time; close takes both to know that no
    // call of this line is left that could reach the next owner's port.
    private final ReentrantLock reading = new ReentrantLock();
    private final ReentrantLock writing = new ReentrantLock();
    private final AtomicBoolean closing = new AtomicBoolean();
    private volatile boolean closed;   // no new call starts
    private volatile boolean released; // the port is free for the next open
    private volatile int readTimeout;
    private volatile long lastCheck = System.nanoTime();
    private volatile String gone;

    private SerialLine(NativePort natives, int port, int baud, String device, String owner, Ports.Watch watch) {
        this.natives = natives;
        this.port = port;
        this.baud = baud;
        this.device = device;
        this.owner = owner;
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
     * @throws PortBusyException when another process holds the port, or a line is already open in this process
     * @throws NoSuchPortException when there is no such port
     * @throws PortAccessDeniedException when the user may not open the device
     * @throws DanglingLinkException when the port's link points at nothing
     * @throws NotASerialPortException when the port names something that is not a serial device
     * @throws UnsupportedSettingsException when the driver refuses the settings
     * @throws SerialPortException for any other failure, such as a native library that cannot load
     * @throws IllegalArgumentException when {@code baud} is not positive
     */
    public static SerialLine open(int port, int baud) throws SerialPortException {
        if (baud <= 0)
            throw new IllegalArgumentException("the baud rate must be positive, not " + baud);
        Ports ports = Ports.current();
        String device = ports.device(port);
        String owner = SerialPortException.where(port, device);
        Object held = System.getProperties().putIfAbsent(OWNER, owner);
        if (held != null)
            throw new PortBusyException(port, device, "busy; " + held + " is already open in this process");
        boolean opened = false;
        try {
            NativePort n = natives(port, device);
            for (int tries = 1; ; tries++) {
                // The native resolves the link again: what it opened must be what this names and watches.
                Object key = ports.key(device);
                if (!n.init(port, baud))
                    throw ports.diagnose(port, baud);
                if (key == null || ports.heldByThisProcess(key) != Boolean.FALSE) {
                    SerialLine line = new SerialLine(n, port, baud, device, owner, ports.watch(device, key));
                    opened = true;
                    return line;
                }
                n.close();
                if (tries == OPEN_TRIES)
                    throw new SerialPortException(port, device, "its link changed while it was being opened, "
                            + OPEN_TRIES + " times; nothing is open");
                device = ports.device(port);
                String now = SerialPortException.where(port, device);
                System.getProperties().replace(OWNER, owner, now);
                owner = now;
            }
        } finally {
            if (!opened)
                System.getProperties().remove(OWNER, owner);
        }
    }

    private static synchronized NativePort natives(int port, String device) throws SerialPortException {
        if (bridge == null) {
            try {
                bridge = Class.forName("SerialPortBridge", true, SerialLine.class.getClassLoader())
                        .asSubclass(NativePort.class).getDeclaredConstructor().newInstance();
            } catch (ReflectiveOperationException | LinkageError | ClassCastException e) {
                SerialPortException x = new SerialPortException(port, device, "the native library cannot be loaded: " + e);
                x.initCause(e);
                throw x;
            }
        }
        return bridge;
    }

    /**
     * The port number this line was opened with.
     *
     * @return the number passed to {@link #open}
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
     * (its interrupt status stays set), and {@link SerialPortException} once
     * the line is closed. Closing the stream closes the line.
     *
     * @return the line's input stream
     */
    public InputStream getInputStream() {
        return in;
    }

    /**
     * The bytes to send: each is sent once the driver takes it, so there is
     * nothing to flush. A write that fails throws, with
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
     * or write in progress on another thread ends with an exception, and
     * when this returns none is left: the port is free. Closing again does
     * nothing, once the first close has returned.
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
            natives.close(); // ends a native call blocked on flow control
        } finally {
            // The calls in flight now end at once; the next owner may open
            // only when none is left that could reach its port.
            reading.lock();
            writing.lock();
            try {
                System.getProperties().remove(OWNER, owner);
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
     * here is returned for that, or 0 when the turn was free.
     */
    private long enter(ReentrantLock turn, boolean read) throws IOException {
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
                Thread.currentThread().interrupt();
                throw new InterruptedIOException(SerialPortException.where(port, device)
                        + (read ? ": read interrupted" : ": write interrupted"));
            }
            waited = Math.max(1, System.nanoTime() - start);
        }
        if (closed) {
            turn.unlock();
            throw closedException();
        }
        return waited;
    }

    private SocketTimeoutException timedOut(int timeout) {
        return new SocketTimeoutException(SerialPortException.where(port, device) + ": read timed out after "
                + timeout + " ms");
    }

    private SerialPortException closedException() {
        return new SerialPortException(port, device, "the line is closed");
    }

    /** Waits for one byte, having waited {@code before} ns for the turn: spins briefly, then parks between polls. */
    private int await(long before) throws IOException {
        int timeout = readTimeout;
        long start = System.nanoTime() - before;
        for (;;) {
            if (closed)
                throw closedException();
            int b = natives.recc();
            if (b >= 0)
                return b;
            // Only once what arrived before it went is read.
            if (gone != null)
                throw new PortDisconnectedException(port, device, gone);
            long now = System.nanoTime();
            long waited = now - start;
            long left = timeout * 1_000_000L - waited;
            if (timeout > 0 && left <= 0)
                throw timedOut(timeout);
            if (now - lastCheck >= CHECK_NANOS) {
                lastCheck = now;
                checkDevice();
            }
            if (waited < SPIN_NANOS)
                continue;
            LockSupport.parkNanos(this, timeout > 0 ? Math.min(PARK_NANOS, left) : PARK_NANOS);
            if (Thread.interrupted()) {
                Thread.currentThread().interrupt();
                throw new InterruptedIOException(SerialPortException.where(port, device) + ": read interrupted");
            }
        }
    }

    /** Notes that the device has gone, once it has. */
    private void checkDevice() {
        String why = watch.gone();
        if (why != null)
            gone = why;
    }

    private void send(int b) throws IOException {
        if (natives.send(b))
            return;
        if (closed)
            throw closedException();
        checkDevice();
        if (gone != null)
            throw new PortDisconnectedException(port, device, gone);
        throw new SerialPortException(port, device, "write failed");
    }

    private static void checkRange(byte[] b, int off, int len) {
        if (off < 0 || len < 0 || len > b.length - off)
            throw new IndexOutOfBoundsException("offset " + off + ", length " + len + ", array " + b.length);
    }

    private final class In extends InputStream {
        @Override
        public int read() throws IOException {
            long waited = enter(reading, true);
            try {
                return await(waited);
            } finally {
                reading.unlock();
            }
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0)
                return 0;
            long waited = enter(reading, true);
            try {
                b[off] = (byte) await(waited);
                int n = 1;
                for (int c; n < len && (c = natives.recc()) >= 0; n++)
                    b[off + n] = (byte) c;
                return n;
            } finally {
                reading.unlock();
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
                send(b);
            } finally {
                writing.unlock();
            }
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            enter(writing, false);
            try {
                for (int i = 0; i < len; i++)
                    send(b[off + i]);
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
