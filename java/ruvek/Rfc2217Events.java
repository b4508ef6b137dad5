// An rfc2217:// line's events: the server's notices as modem lines, breaks and line errors, and the wait for them.
package ruvek;

/**
 * What the server's NOTIFY-LINESTATE and NOTIFY-MODEMSTATE tell, kept as the
 * line's modem lines and its events since the last wait, which
 * {@link #waitEvents} answers packed as the natives pack theirs. Every field
 * is under the connection's monitor, which the notices and the waits share.
 */
final class Rfc2217Events {
    /** What the wait needs of its connection, each under the monitor. */
    interface Connection {
        /** 0 while calls may go on; else minus ERROR_OPERATION_ABORTED or ERROR_DEVICE_REMOVED. */
        int ended();

        /** Waits on the monitor until the deadline (0: without limit); false once it has passed. */
        boolean await(long deadline);
    }

    private static final int ALL_EVENTS = LineNatives.EV_RXCHAR | LineNatives.EV_TXEMPTY | LineNatives.EV_CTS
            | LineNatives.EV_DSR | LineNatives.EV_RLSD | LineNatives.EV_BREAK | LineNatives.EV_ERR | LineNatives.EV_RING;
    private static final int MODEM_LINES = LineNatives.EV_CTS | LineNatives.EV_DSR | LineNatives.EV_RING
            | LineNatives.EV_RLSD;

    private final Object state;
    private final PairTransport line; // for the bytes waiting
    private final Connection connection;
    private int modem;                 // the server's modem lines, MS_*_ON bits
    private int mask, pending, errors; // the event mask, events since the last wait, CE_ bits
    private boolean wake;

    Rfc2217Events(Object state, PairTransport line, Connection connection) {
        this.state = state;
        this.line = line;
        this.connection = connection;
    }

    /** NOTIFY-LINESTATE's value: a break and line errors. Under the monitor. */
    void lineState(long v) {
        errors |= ((v & 0x10) != 0 ? LineNatives.CE_BREAK : 0) | ((v & 0x08) != 0 ? LineNatives.CE_FRAME : 0)
                | ((v & 0x04) != 0 ? LineNatives.CE_RXPARITY : 0) | ((v & 0x02) != 0 ? LineNatives.CE_OVERRUN : 0);
        pending |= ((v & 0x10) != 0 ? LineNatives.EV_BREAK : 0) | ((v & 0x0E) != 0 ? LineNatives.EV_ERR : 0);
    }

    /** NOTIFY-MODEMSTATE's value: levels in the high nibble, as MS_*_ON; changes in the low one. Under the monitor. */
    void modemState(long v) {
        int now = (int) v & 0xF0, changed = (modem ^ now) | ((int) v & 0x0F) << 4;
        modem = now;
        pending |= ((changed & 0x10) != 0 ? LineNatives.EV_CTS : 0)
                | ((changed & 0x20) != 0 ? LineNatives.EV_DSR : 0)
                | ((changed & 0x40) != 0 ? LineNatives.EV_RING : 0)
                | ((changed & 0x80) != 0 ? LineNatives.EV_RLSD : 0);
    }

    /** Events come, with line errors (CE_ bits); under the monitor. */
    void held(int events, int ce) {
        pending |= events;
        errors |= ce;
    }

    void raise(int events, int ce) {
        synchronized (state) {
            held(events, ce);
            state.notifyAll();
        }
    }

    int modemStatus() {
        synchronized (state) {
            int e = connection.ended();
            return e != 0 ? e : modem;
        }
    }

    long waitEvents(int mask) {
        synchronized (state) {
            int armed = setEventMask(mask);
            if (armed != 0)
                return armed;
            for (;;) {
                int e = connection.ended();
                if (e == -LineNatives.ERROR_OPERATION_ABORTED)
                    return e;
                int happened = pending & mask;
                if (happened != 0) {
                    pending &= ~mask;
                    int errs = errors;
                    errors = 0;
                    return LineEvents.pack(happened, (mask & MODEM_LINES) != 0 ? modem : 0, errs,
                            Math.max(0, line.available()));
                }
                if (e != 0) // what came before the connection's end is told first
                    return -LineNatives.ERROR_DEVICE_REMOVED;
                if (wake) {
                    wake = false;
                    return LineNatives.WOKEN;
                }
                connection.await(0);
            }
        }
    }

    int setEventMask(int mask) {
        synchronized (state) {
            if (mask <= 0 || (mask & ~ALL_EVENTS) != 0)
                return -LineNatives.ERROR_INVALID_PARAMETER;
            if (connection.ended() == -LineNatives.ERROR_OPERATION_ABORTED)
                return -LineNatives.ERROR_OPERATION_ABORTED;
            if (mask != this.mask) {
                // Counted from here on; bytes already waiting are told, as the pair does.
                this.mask = mask;
                pending = line.available() > 0 ? LineNatives.EV_RXCHAR : 0;
            }
            return 0;
        }
    }

    void wakeEvents() {
        synchronized (state) {
            wake = true;
            state.notifyAll();
        }
    }
}
