// One open line's machinery beneath SerialLine: its turns, its closing, and failures made into exceptions.
package ruvek;

import java.io.IOException;
import java.io.InterruptedIOException;
import java.net.SocketTimeoutException;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;

/**
 * What every line keeps the same, whatever its transport: one reader and
 * one writer at a time, calls that a close waits for or ends, the listening,
 * and the public exceptions for the transport's codes.
 */
final class LineCore {
    final Transport transport;
    final int port;
    final String device;
    private final Ports.Watch watch;
    private final String closedMessage; // made at the open: a close's reader then only throws

    // One reader and one writer at a time; close takes both, and `freeing`,
    // which the short calls hold, so that no call is left in the transport
    // when it is freed.
    private final Object freeing = new Object();
    final ReentrantLock reading = new ReentrantLock();
    final ReentrantLock writing = new ReentrantLock();
    final ReentrantLock eventing = new ReentrantLock(); // the event wait's; close takes it too
    private LineEvents events; // under `freeing`
    // Under its own monitor, not an AtomicBoolean: the first compare-and-set
    // through a VarHandle links code that a first close would wait for.
    private final Object closeClaim = new Object();
    private boolean closing;
    volatile boolean closed;   // no new call starts
    private volatile boolean released; // the port is free for the next open
    volatile int readTimeout;

    LineCore(Transport transport, int port, String device, Ports.Watch watch) {
        this.transport = transport;
        this.port = port;
        this.device = device;
        this.watch = watch;
        closedMessage = SerialPortException.where(port, device) + ": the line is closed";
    }

    /** A call on the line's transport: its result, negative for minus a Win32 error. */
    interface Call {
        int on(Transport transport);
    }

    /** Runs a short call, which a close waits for: its result, 0 or more; a failure throws. */
    int quick(Call call, String what) throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            int r = call.on(transport);
            if (r < 0)
                throw failure(r, what);
            return r;
        }
    }

    /** Runs a call in the writers' turn, after the writes before it; a close ends it. */
    void afterWrites(Call call, String what) throws IOException {
        enter(writing, false);
        try {
            int r = call.on(transport);
            if (r != 0)
                throw failure(r, what);
        } finally {
            writing.unlock();
        }
    }

    int modemStatus() throws SerialPortException {
        return quick(Transport::modemStatus, "modem lines");
    }

    private void checkOpen() throws SerialPortException {
        if (closed)
            throw closedException();
    }

    /** Starts the one listening a line may have; SerialLine.listen has checked the arguments. */
    LineEvents listen(SerialLine line, Set<LineEvent.Type> types, LineListener listener, Executor executor,
            MessageReader messages) throws SerialPortException {
        checkListener();
        // The turn of the event wait, which a closed listening's thread is leaving.
        eventing.lock();
        try {
            synchronized (freeing) {
                checkListener();
                // Levels are told as they change from these; events, from the mask's setting.
                int levels = LineEvents.wantsLines(types) ? modemStatus() >> 4 : 0;
                int mask = LineEvents.maskOf(types);
                quick(h -> h.setEventMask(mask), "listening");
                events = new LineEvents(line, types, listener, executor, levels, messages);
                events.start();
                return events;
            }
        } finally {
            eventing.unlock();
        }
    }

    private void checkListener() throws SerialPortException {
        synchronized (freeing) {
            checkOpen();
            if (events != null && events.isActive())
                throw new IllegalStateException(SerialPortException.where(port, device)
                        + ": the line has a listener already; close its LineEvents first");
        }
    }

    /** Ends the event wait in progress, for a listening's close; nothing once the line is closed. */
    void wakeEvents() {
        synchronized (freeing) {
            if (!closed)
                transport.wakeEvents();
        }
    }

    /** Ends the wait of the read in progress, for its thread's interrupt; nothing once the line is closed. */
    void wakeRead() {
        synchronized (freeing) {
            if (!closed)
                transport.wakeRead();
        }
    }

    /** SerialLine.close: ends every call, then frees the transport once none is left in it. */
    void close() {
        boolean first;
        synchronized (closeClaim) {
            first = !closing;
            closing = true;
        }
        if (!first) {
            while (!released) // another thread is closing: return once it has freed the port
                LockSupport.parkNanos(this, 100_000);
            return;
        }
        closed = true;
        LineEvents listening;
        synchronized (freeing) {
            listening = events;
        }
        if (listening != null)
            listening.stop("the line is closed"); // no event is told once close returns
        try {
            transport.cancel(); // ends the calls in progress, and those about to start
        } finally {
            // The calls in flight now end at once; the transport is freed
            // only when none is left in it.
            reading.lock();
            writing.lock();
            eventing.lock();
            try {
                synchronized (freeing) {
                    transport.close();
                }
            } finally {
                released = true;
                eventing.unlock();
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
    int enter(ReentrantLock turn, boolean read) throws IOException {
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

    InterruptedIOException interrupted(boolean read) {
        Thread.currentThread().interrupt();
        return new InterruptedIOException(SerialPortException.where(port, device)
                + (read ? ": read interrupted" : ": write interrupted"));
    }

    SocketTimeoutException timedOut(int timeout) {
        return new SocketTimeoutException(SerialPortException.where(port, device) + ": read timed out after "
                + timeout + " ms");
    }

    SerialPortException closedException() {
        return new SerialPortException(closedMessage, port, device);
    }

    /** The exception for a call that failed with minus {@code code}. */
    SerialPortException failure(int code, String what) {
        if (closed || code == -LineNatives.ERROR_OPERATION_ABORTED)
            return closedException();
        if (code == -LineNatives.ERROR_NOT_SUPPORTED)
            return new SerialPortException(port, device, what + ": not supported by this device");
        if (code == -TcpTransport.NOT_BY_TRANSPORT)
            return new SerialPortException(port, device, what + ": not supported by this transport");
        // The natives know a device that has gone when the system says so; the
        // watch, when it only fails a call with a code that says nothing.
        String why = watch.gone();
        if (why == null && code == -LineNatives.ERROR_DEVICE_REMOVED)
            why = "disconnected; the device is gone";
        if (why != null)
            return new PortDisconnectedException(port, device, why);
        return new SerialPortException(port, device, what + " failed (system error " + -code + ")");
    }
}
