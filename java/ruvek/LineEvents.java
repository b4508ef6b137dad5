// A line's listening: the thread that waits for its events in the system and tells its listener.
package ruvek;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;
import java.util.logging.Level;
import java.util.logging.Logger;
import ruvek.LineEvent.Type;

/**
 * A listener's hold on a {@link SerialLine}'s events, from
 * {@link SerialLine#listen}. One thread of the library's per line waits for
 * the events in the system, costing nothing while none comes, and tells the
 * listener of them in order: on that thread, or on the application's
 * {@link Executor}, one event at a time. A slow listener holds up its own
 * line only; what comes meanwhile merges.
 *
 * <p>{@link #close()}, or the line's close, ends the listening: once either
 * returns, no event is told, though a call already running goes on to its end.
 * The device's going ends it too, after {@link Type#DEVICE_GONE}.
 */
public final class LineEvents implements AutoCloseable {
    private static final Logger LOG = Logger.getLogger("ruvek");
    // The modem lines' levels as the natives pack them: Win32's MS_ bits over 16.
    private static final int CTS_ON = 0x1, DSR_ON = 0x2, RI_ON = 0x4, DCD_ON = 0x8;
    private static final int QUEUE_LIMIT = 1024; // events an executor may fall behind by
    private static final int MODEM_LINES = LineNatives.EV_CTS | LineNatives.EV_DSR | LineNatives.EV_RING
            | LineNatives.EV_RLSD;

    private final SerialLine line;
    private final Set<Type> types;
    private final LineListener listener;
    private final Executor executor;
    private final int mask;
    private final MessageReader messages; // null unless MESSAGE is asked for
    private final Thread thread;
    private final Object gate = new Object();
    private boolean stopped;        // under gate: no call to the listener starts once it is set
    private volatile String ended;  // why the listening ended; null while it goes on
    private int levels;             // the modem lines as last told; the thread's alone
    private final ArrayDeque<LineEvent> queue = new ArrayDeque<>(); // for the executor, under its own lock
    private boolean draining;

    LineEvents(SerialLine line, Set<Type> types, LineListener listener, Executor executor, int levels,
            MessageReader messages) {
        this.line = line;
        this.types = Collections.unmodifiableSet(EnumSet.copyOf(types));
        this.listener = listener;
        this.executor = executor;
        this.levels = levels;
        this.messages = messages;
        mask = maskOf(types);
        thread = new Thread(this::pump, "ruvek events " + line.device());
        thread.setDaemon(true);
    }

    /** The natives' event mask for a set of types; a set of DEVICE_GONE alone waits on line errors. */
    static int maskOf(Set<Type> types) {
        int m = 0;
        for (Type t : types) {
            switch (t) {
            case DATA_AVAILABLE: case MESSAGE: m |= LineNatives.EV_RXCHAR; break;
            case CTS: m |= LineNatives.EV_CTS; break;
            case DSR: m |= LineNatives.EV_DSR; break;
            case RI: m |= LineNatives.EV_RING; break;
            case DCD: m |= LineNatives.EV_RLSD; break;
            case BREAK: m |= LineNatives.EV_BREAK; break;
            case FRAMING_ERROR: case PARITY_ERROR: case OVERRUN_ERROR: m |= LineNatives.EV_ERR; break;
            case OUTPUT_EMPTY: m |= LineNatives.EV_TXEMPTY; break;
            default: break;
            }
        }
        return m == 0 ? LineNatives.EV_ERR : m;
    }

    /** Whether a set of types asks for a modem line. */
    static boolean wantsLines(Set<Type> types) {
        return types.contains(Type.CTS) || types.contains(Type.DSR) || types.contains(Type.RI)
                || types.contains(Type.DCD);
    }

    void start() {
        thread.start();
    }

    /** @return the types this listening tells of */
    public Set<Type> types() {
        return types;
    }

    /** @return whether events are still told: neither closed nor ended by the line */
    public boolean isActive() {
        synchronized (gate) {
            return !stopped;
        }
    }

    /**
     * Ends the listening. Once this returns no event is told; a call to the
     * listener already running goes on to its end. The line stays open, and
     * may be listened to again. It may be called from the listener itself.
     */
    @Override
    public void close() {
        if (stop("closed"))
            line.core.wakeEvents(); // the thread then leaves its wait and ends
    }

    /** Stops telling, for why; false when it had stopped already. */
    boolean stop(String why) {
        synchronized (gate) {
            if (stopped)
                return false;
            stopped = true;
            ended = why;
        }
        synchronized (queue) {
            queue.clear();
            queue.notifyAll();
        }
        return true;
    }

    @Override
    public String toString() {
        String why = ended;
        return "events " + types + " of " + line.device() + (why == null ? "" : ": ended, " + why);
    }

    private void pump() {
        try {
            for (;;) {
                long r;
                line.core.eventing.lock();
                try {
                    if (line.core.closed || !isActive())
                        return;
                    r = line.core.transport.waitEvents(mask);
                } finally {
                    line.core.eventing.unlock();
                }
                if (r == LineNatives.WOKEN)
                    continue;
                if (r < 0) {
                    fail((int) r);
                    return;
                }
                tell(r);
            }
        } catch (RuntimeException | Error e) {
            stop("failed: " + e);
            throw e;
        }
    }

    /** The wait failed with minus {@code code}: the line closed, its device gone, or a fault. */
    private void fail(int code) {
        if (line.core.closed) {
            stop("the line is closed");
            return;
        }
        SerialPortException e = line.core.failure(code, "waiting for events");
        if (e instanceof PortDisconnectedException && types.contains(Type.DEVICE_GONE))
            deliver(new LineEvent(line, Type.DEVICE_GONE, false, 1));
        LOG.log(Level.FINE, "events of " + line.device() + " ended", e);
        // What was queued for the executor is still told; nothing after it.
        if (executor != null)
            awaitDrained();
        stop(e.getMessage());
    }

    /** Tells what one wait's answer holds, line state first, then what came with the bytes. */
    private void tell(long r) {
        for (LineEvent e : decode(line, types, mask, levels, r))
            deliver(e);
        if ((mask & MODEM_LINES) != 0)
            levels = (int) (r >>> 16) & 0xF;
        if ((r & LineNatives.EV_RXCHAR) != 0 && messages != null)
            messages();
        if ((r & LineNatives.EV_TXEMPTY) != 0 && types.contains(Type.OUTPUT_EMPTY))
            deliver(new LineEvent(line, Type.OUTPUT_EMPTY, false, 1));
    }

    /**
     * A wait's answer packed as the natives pack theirs, for transports of
     * our own: events (EV_*), the modem lines' levels (MS_*_ON bits),
     * line errors (CE_*), the bytes waiting.
     */
    static long pack(int happened, int lines, int errors, long waiting) {
        return (happened & 0xFFFF) | (long) ((lines >> 4) & 0xF) << 16 | (long) (errors & 0x1F) << 20 | waiting << 32;
    }

    /**
     * The events of types in one wait's answer r, packed as the natives pack
     * it, in the order told: modem lines whose level differs from {@code
     * levels} (as last told), a break, line errors, data. Output empty and
     * messages come after these.
     */
    static List<LineEvent> decode(SerialLine line, Set<Type> types, int mask, int levels, long r) {
        List<LineEvent> out = new ArrayList<>(4);
        int happened = (int) (r & 0xFFFF);
        int now = (int) (r >>> 16) & 0xF;
        int errors = (int) (r >>> 20) & 0x1F;
        int waiting = (int) (r >>> 32);
        if ((mask & MODEM_LINES) != 0) {
            level(out, line, types, Type.CTS, CTS_ON, levels, now);
            level(out, line, types, Type.DSR, DSR_ON, levels, now);
            level(out, line, types, Type.RI, RI_ON, levels, now);
            level(out, line, types, Type.DCD, DCD_ON, levels, now);
        }
        if ((happened & LineNatives.EV_BREAK) != 0 || (errors & LineNatives.CE_BREAK) != 0)
            told(out, line, types, Type.BREAK, 1);
        if ((errors & LineNatives.CE_FRAME) != 0)
            told(out, line, types, Type.FRAMING_ERROR, 1);
        if ((errors & LineNatives.CE_RXPARITY) != 0)
            told(out, line, types, Type.PARITY_ERROR, 1);
        if ((errors & LineNatives.CE_OVERRUN) != 0)
            told(out, line, types, Type.OVERRUN_ERROR, 1);
        if ((happened & LineNatives.EV_RXCHAR) != 0 && waiting > 0)
            told(out, line, types, Type.DATA_AVAILABLE, waiting);
        return out;
    }

    /** A modem line's event, only when its level differs from the one last told. */
    private static void level(List<LineEvent> out, SerialLine line, Set<Type> types, Type type, int bit, int levels,
            int now) {
        if (((levels ^ now) & bit) != 0 && types.contains(type))
            out.add(new LineEvent(line, type, (now & bit) != 0, 1));
    }

    private static void told(List<LineEvent> out, SerialLine line, Set<Type> types, Type type, int count) {
        if (types.contains(type))
            out.add(new LineEvent(line, type, false, count));
    }

    /** Tells each whole message that has arrived; what fails here, the next wait reports. */
    private void messages() {
        while (isActive()) {
            byte[] m;
            try {
                m = messages.poll();
            } catch (MessageTooLongException e) {
                deliver(new LineEvent(line, null, e));
                continue;
            } catch (IOException e) {
                LOG.log(Level.FINE, "messages of " + line.device() + " not read", e);
                return;
            }
            if (m == null)
                return;
            deliver(new LineEvent(line, m, null));
        }
    }

    private void deliver(LineEvent e) {
        if (executor == null) {
            call(e);
            return;
        }
        boolean start;
        synchronized (queue) {
            // A listener behind by the limit holds the wait up; the system merges meanwhile.
            while (queue.size() >= QUEUE_LIMIT && isActive())
                waitOn(queue);
            if (!isActive())
                return;
            queue.add(e);
            start = !draining;
            draining = true;
        }
        if (start) {
            try {
                executor.execute(this::drain);
            } catch (RejectedExecutionException rejected) {
                LOG.log(Level.FINE, "the executor refused events of " + line.device() + "; told on the line's thread", rejected);
                drain();
            }
        }
    }

    /** Tells the queued events in order, one task at a time. */
    private void drain() {
        for (;;) {
            LineEvent e;
            synchronized (queue) {
                e = queue.poll();
                if (e == null) {
                    draining = false;
                    queue.notifyAll();
                    return;
                }
                queue.notifyAll();
            }
            call(e);
        }
    }

    private void awaitDrained() {
        synchronized (queue) {
            while (draining && isActive())
                waitOn(queue);
        }
    }

    /** Waits on the queue, which every change of it or of the listening notifies. */
    private void waitOn(Object monitor) {
        try {
            monitor.wait();
        } catch (InterruptedException e) {
            stop("interrupted"); // nobody but the library owns the thread
        }
    }

    private void call(LineEvent e) {
        synchronized (gate) {
            if (stopped)
                return;
        }
        try {
            listener.onEvent(e);
        } catch (RuntimeException | Error t) {
            Thread self = Thread.currentThread();
            self.getUncaughtExceptionHandler().uncaughtException(self, t);
        }
    }
}
