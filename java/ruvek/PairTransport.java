// The in-memory pair's transport: one end of two joined in this JVM, no natives, as a null-modem cable joins two ports.
package ruvek;

/**
 * One end of an in-memory pair. Bytes written at one end wait at the other,
 * up to {@link #HOLDS} bytes, past which a write waits, as a driver's queue
 * does. DTR of one end is DSR and DCD of the other, RTS of one is CTS of the
 * other; a break at one is a break at the other. Settings are kept as given,
 * or refused in one field when a test asks. Closing one end is its device
 * gone for the other. Every wait is on the pair's one monitor.
 */
final class PairTransport implements Transport {
    /** What one end holds unread, as a driver's input queue. */
    static final int HOLDS = 1 << 16;
    private static final int ALL_EVENTS = LineNatives.EV_RXCHAR | LineNatives.EV_TXEMPTY | LineNatives.EV_CTS
            | LineNatives.EV_DSR | LineNatives.EV_RLSD | LineNatives.EV_BREAK | LineNatives.EV_ERR | LineNatives.EV_RING;
    private static final int MODEM_LINES = LineNatives.EV_CTS | LineNatives.EV_DSR | LineNatives.EV_RING
            | LineNatives.EV_RLSD;

    private final Object wire;         // the pair's monitor, shared by both ends
    PairTransport peer;                // set once, as the pair is made
    private final byte[] in = new byte[HOLDS];
    private int start, count;          // the unread bytes: a ring from start
    private volatile int queued;       // count, as a reader's spin sees it without the monitor
    private boolean dtr, rts;
    private long format;               // the settings as LineSettings.unpack reads them
    private int refused;               // the field a test has this end refuse; 0: none
    private int mask, pending, errors; // the event mask, events since the last wait, CE_ bits
    private boolean cancelled, closed, wake, eventWake;

    PairTransport(Object wire, LineSettings settings) {
        this.wire = wire;
        format = settings.packed();
    }

    /** Two ends joined, each with the settings. */
    static PairTransport[] joined(LineSettings settings) {
        Object wire = new Object();
        PairTransport a = new PairTransport(wire, settings), b = new PairTransport(wire, settings);
        a.peer = b;
        b.peer = a;
        return new PairTransport[] {a, b};
    }

    /** Has this end refuse field (LineSettings' field number, 1 to 7) from now on; 0 refuses nothing. */
    void refuse(int field) {
        synchronized (wire) {
            refused = field;
        }
    }

    // An interrupt taken by a wait here, given back as the call returns:
    // SerialLine's own wake ends a read, as it ends the natives'.
    private static final ThreadLocal<boolean[]> INTERRUPTED = ThreadLocal.withInitial(() -> new boolean[1]);

    /** Waits on the wire until the deadline (0: without limit); false when it passed. */
    private boolean await(long deadline) {
        try {
            if (deadline == 0) {
                wire.wait();
                return true;
            }
            long left = (deadline - System.nanoTime()) / 1_000_000;
            if (left <= 0)
                return false;
            wire.wait(Math.max(1, left));
            return true;
        } catch (InterruptedException e) {
            tookInterrupt();
            return true;
        }
    }

    /** A wait took the thread's interrupt: {@link #given} gives it back as the call returns. */
    static void tookInterrupt() {
        INTERRUPTED.get()[0] = true;
    }

    /** r, once the interrupt a wait took is the thread's again. */
    static long given(long r) {
        boolean[] taken = INTERRUPTED.get();
        if (taken[0]) {
            taken[0] = false;
            Thread.currentThread().interrupt();
        }
        return r;
    }

    private static long deadline(int ms) {
        return ms <= 0 ? 0 : System.nanoTime() + ms * 1_000_000L;
    }

    /** Why no call may go on, as minus the error; 0 when it may. */
    private int ended() {
        if (cancelled)
            return -LineNatives.ERROR_OPERATION_ABORTED;
        return 0;
    }

    /** As ended(), and ERROR_DEVICE_REMOVED once the far end has gone, for a call that reaches it. */
    private int unreachable() {
        int e = ended();
        return e != 0 ? e : peer.closed ? -LineNatives.ERROR_DEVICE_REMOVED : 0;
    }

    private int take(byte[] b, int off, int len) {
        int n = Math.min(len, count);
        int first = Math.min(n, HOLDS - start); // to the ring's end, then from its start
        System.arraycopy(in, start, b, off, first);
        System.arraycopy(in, 0, b, off + first, n - first);
        start = (start + n) % HOLDS;
        count -= n;
        queued = count;
        wire.notifyAll(); // a writer may wait for room
        return n;
    }

    @Override public int read(byte[] b, int off, int len, int timeoutMs) {
        return (int) given(reading(b, off, len, timeoutMs));
    }

    /**
     * How long a read that finds nothing looks again before it waits on the
     * monitor: a thread woken through it takes tens of µs on a busy machine,
     * and a far end that answers at once answers within that. Only where a
     * second core can run the far end meanwhile.
     */
    private static final long SPIN_NS = Runtime.getRuntime().availableProcessors() > 1 ? 50_000 : 0;

    private int reading(byte[] b, int off, int len, int timeoutMs) {
        if (SPIN_NS > 0 && queued == 0) {
            // A close or a wake seen late costs at most the spin: the monitor's path below decides.
            long end = System.nanoTime() + SPIN_NS;
            while (queued == 0 && System.nanoTime() - end < 0) {
                // Thread.onSpinWait would say so, but these classes run on Java 8
            }
        }
        synchronized (wire) {
            long deadline = deadline(timeoutMs);
            for (;;) {
                int e = ended();
                if (e != 0)
                    return e;
                if (count > 0)
                    return take(b, off, len);
                if (peer.closed)
                    return -LineNatives.ERROR_DEVICE_REMOVED; // what came before it, first
                if (wake) {
                    wake = false;
                    return 0;
                }
                if (!await(deadline))
                    return 0;
            }
        }
    }

    @Override public int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs) {
        return (int) given(gapReading(b, off, len, gapMs, firstWaitMs));
    }

    private int gapReading(byte[] b, int off, int len, int gapMs, int firstWaitMs) {
        int got = reading(b, off, len, firstWaitMs);
        if (got <= 0)
            return got;
        synchronized (wire) {
            // What follows within the gap belongs to the message; a wake no longer ends it.
            while (got < len) {
                if (count == 0) {
                    long deadline = deadline(gapMs);
                    while (count == 0 && ended() == 0 && !peer.closed && await(deadline)) {
                        // until a byte, the gap, or the end
                    }
                    if (count == 0)
                        break;
                }
                got += take(b, off + got, len - got);
            }
            return got;
        }
    }

    @Override public int write(byte[] b, int off, int len) {
        return (int) given(writing(b, off, len));
    }

    private int writing(byte[] b, int off, int len) {
        synchronized (wire) {
            for (int done = 0; done < len; ) {
                int e = unreachable(); // this end closed is cancelled too
                if (e != 0)
                    return e;
                PairTransport p = peer;
                if (p.count == HOLDS) {
                    await(0);
                    continue;
                }
                int n = Math.min(len - done, HOLDS - p.count);
                int end = (p.start + p.count) % HOLDS, first = Math.min(n, HOLDS - end);
                System.arraycopy(b, off + done, p.in, end, first);
                System.arraycopy(b, off + done + first, p.in, 0, n - first);
                p.count += n;
                p.queued = p.count;
                done += n;
                p.raise(LineNatives.EV_RXCHAR);
            }
            raise(LineNatives.EV_TXEMPTY);
            return len;
        }
    }

    /** Events come at this end; under the wire's monitor. */
    private void raise(int events) {
        pending |= events;
        wire.notifyAll();
    }

    @Override public int available() {
        synchronized (wire) {
            int e = ended();
            return e != 0 ? e : count > 0 || !peer.closed ? count : -LineNatives.ERROR_DEVICE_REMOVED;
        }
    }

    @Override public void cancel() {
        synchronized (wire) {
            cancelled = true;
            wire.notifyAll();
        }
    }

    @Override public void wakeRead() {
        synchronized (wire) {
            wake = true;
            wire.notifyAll();
        }
    }

    @Override public boolean close() {
        synchronized (wire) {
            boolean was = closed;
            closed = true;
            cancelled = true;
            wire.notifyAll(); // the far end's calls see their device gone
            return !was;
        }
    }

    @Override public int setFormat(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        synchronized (wire) {
            int e = unreachable();
            if (e != 0)
                return e;
            long asked = LineSettings.pack(baud, dataBits, parity, stopBits, flow, options);
            if (refused != 0 && LineSettings.field(asked, refused) != LineSettings.field(format, refused))
                return refused;
            format = asked;
            return 0;
        }
    }

    @Override public long getFormat() {
        synchronized (wire) {
            int e = ended();
            return e != 0 ? e : format;
        }
    }

    @Override public int escape(int function) {
        synchronized (wire) {
            int e = unreachable();
            if (e != 0)
                return e;
            boolean wasDtr = dtr, wasRts = rts;
            switch (function) {
            case 3: rts = true; break;
            case 4: rts = false; break;
            case 5: dtr = true; break;
            case 6: dtr = false; break;
            default: return -LineNatives.ERROR_INVALID_PARAMETER;
            }
            if (dtr != wasDtr)
                peer.raise(LineNatives.EV_DSR | LineNatives.EV_RLSD);
            if (rts != wasRts)
                peer.raise(LineNatives.EV_CTS);
            return 0;
        }
    }

    /** The far end's outputs as this end's inputs, MS_*_ON bits; under the monitor. */
    private int lines() {
        return (peer.rts ? 0x10 : 0) | (peer.dtr ? 0x20 | 0x80 : 0);
    }

    @Override public int modemStatus() {
        synchronized (wire) {
            int e = unreachable();
            return e != 0 ? e : lines();
        }
    }

    @Override public int sendBreak(int ms) {
        return (int) given(breaking(ms));
    }

    private int breaking(int ms) {
        synchronized (wire) {
            int e = unreachable();
            if (e != 0)
                return e;
            peer.errors |= LineNatives.CE_BREAK;
            peer.raise(LineNatives.EV_BREAK);
            long deadline = deadline(ms);
            while (ms > 0 && ended() == 0 && await(deadline)) {
                // the break lasts ms, unless the line closes
            }
            return ended();
        }
    }

    @Override public int drain() {
        synchronized (wire) {
            return unreachable(); // written is sent
        }
    }

    @Override public int purge(int flags) {
        synchronized (wire) {
            int e = ended();
            if (e != 0)
                return e;
            if ((flags & 8) != 0) {
                start = 0;
                count = 0;
                queued = 0;
                wire.notifyAll();
            }
            return 0;
        }
    }

    @Override public long waitEvents(int mask) {
        return given(waiting(mask));
    }

    private long waiting(int mask) {
        synchronized (wire) {
            int armed = setEventMask(mask);
            if (armed != 0)
                return armed;
            for (;;) {
                int e = ended();
                if (e != 0)
                    return e;
                int happened = pending & mask;
                if (happened != 0) {
                    pending &= ~mask;
                    int errs = errors;
                    errors = 0;
                    return LineEvents.pack(happened, (mask & MODEM_LINES) != 0 ? lines() : 0, errs, count);
                }
                if (peer.closed)
                    return -LineNatives.ERROR_DEVICE_REMOVED;
                if (eventWake) {
                    eventWake = false;
                    return LineNatives.WOKEN;
                }
                await(0);
            }
        }
    }

    @Override public int setEventMask(int mask) {
        synchronized (wire) {
            if (mask <= 0 || (mask & ~ALL_EVENTS) != 0)
                return -LineNatives.ERROR_INVALID_PARAMETER;
            int e = ended();
            if (e != 0)
                return e;
            if (mask != this.mask) {
                // Counted from here on; bytes already waiting are told, as the termios layer does.
                this.mask = mask;
                pending = count > 0 ? LineNatives.EV_RXCHAR : 0;
            }
            return 0;
        }
    }

    @Override public void wakeEvents() {
        synchronized (wire) {
            eventWake = true;
            wire.notifyAll();
        }
    }
}
