// A line on a Telnet server that owns the serial port and takes its settings over the wire (rfc2217://host:port).
package ruvek;

/**
 * A line through a COM port server, such as ser2net's telnet(rfc2217)
 * accepter: bytes, reads, time-outs and wakes as over raw TCP; settings,
 * DTR and RTS, breaks and purges as commands the server confirms, each
 * within {@link Rfc2217Link#CONFIRM_MS}; modem lines, breaks and line errors
 * from the server's notifications. The settings read back are the ones the
 * server answered with. An answer that never comes is a refusal, since
 * ser2net answers nothing to what it can't do; a connection that ends is
 * the device gone, naming why.
 */
final class Rfc2217Transport implements Transport {
    /** Flow control's SET-CONTROL values, by LineSettings.FlowControl's order. */
    private static final int[] FLOW = {1, 3, 2};
    /** Stop size's values, by LineSettings.StopBits' order: 1, 1.5, 2. */
    private static final int[] STOP = {1, 3, 2};
    /** SET-CONTROL's values for EscapeCommFunction's SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6. */
    private static final int[] LINES = {11, 12, 8, 9};
    private static final int BREAK_ON = 5, BREAK_OFF = 6;

    private final Rfc2217Link link;
    private final PairTransport line;
    private long format; // the settings the server confirmed, under this
    private volatile int unanswered; // the field last refused by the server's silence

    private Rfc2217Transport(Rfc2217Link link) {
        this.link = link;
        line = link.line;
    }

    /** Connects, agrees the option, and applies every field of settings: a line, or nothing left open. */
    static SerialLine open(String name, LineSettings settings) throws SerialPortException {
        Rfc2217Transport t = new Rfc2217Transport(Rfc2217Link.connect(name));
        boolean done = false;
        try {
            int r = t.setFormat(settings.baud(), settings.dataBits(), settings.parity().ordinal(),
                    settings.stopBits().ordinal(), settings.flowControl().ordinal(), settings.options());
            if (r > 0)
                throw settings.refusedAtOpen(r, SerialLine.NO_PORT, name, t.unconfirmedMs(r));
            t.check(r, name, "the settings");
            // DTR and RTS stay as the server's open set them: ser2net answers
            // nothing for a device without them, which would cost each open the wait.
            SerialLine opened = new SerialLine(t, SerialLine.NO_PORT, settings.baud(), name, t.new Gone());
            done = true;
            return opened;
        } finally {
            if (!done) {
                t.cancel();
                t.close();
            }
        }
    }

    /** Why the line's calls fail once the connection has ended, for SerialLine's report. */
    private final class Gone extends Ports.Watch {
        @Override String gone() {
            String why = link.gone();
            return why == null ? null : "disconnected; " + why;
        }
    }

    /** Throws, saying why, for a failed step of the open. */
    private void check(int r, String name, String what) throws SerialPortException {
        if (r >= 0)
            return;
        String why = link.gone();
        throw new SerialPortException(SerialLine.NO_PORT, name, why != null ? why : what + " failed (error " + -r + ")");
    }

    @Override public int read(byte[] b, int off, int len, int timeoutMs) {
        return line.read(b, off, len, timeoutMs);
    }

    @Override public int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs) {
        return line.readGap(b, off, len, gapMs, firstWaitMs);
    }

    @Override public int write(byte[] b, int off, int len) {
        return link.write(b, off, len);
    }

    @Override public int available() {
        return line.available();
    }

    @Override public void cancel() {
        link.cancel();
    }

    @Override public void wakeRead() {
        line.wakeRead();
    }

    @Override public boolean close() {
        return link.close();
    }

    @Override public long unconfirmedMs(int field) {
        return field > 0 && field == unanswered ? Rfc2217Link.CONFIRM_MS : 0;
    }

    @Override public int setFormat(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        return (int) PairTransport.given(setting(baud, dataBits, parity, stopBits, flow, options));
    }

    private int setting(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        // The option has no field for these: asked for, they are refused before anything changes.
        if ((options & LineSettings.LOW_LATENCY) != 0)
            return 6;
        if ((options & LineSettings.RS485) != 0)
            return 7;
        unanswered = 0;
        long was;
        synchronized (this) {
            was = format;
        }
        long asked = LineSettings.pack(baud, dataBits, parity, stopBits, flow, 0);
        for (int field = 1; field <= 5; field++) {
            long got = apply(field, LineSettings.field(asked, field));
            if (got == -Rfc2217Link.NO_ANSWER)
                unanswered = field;
            else if (got < 0)
                return (int) got;
            if (got != LineSettings.field(asked, field)) {
                // The line keeps what it had: each field set so far goes back, as far as the server takes it.
                for (int back = 1; back <= field && was != 0; back++)
                    if (apply(back, LineSettings.field(was, back)) < 0 && link.gone() != null)
                        break;
                return field;
            }
        }
        return 0;
    }

    /**
     * Sets field (1 baud to 5 flow control) to value: what the server
     * confirmed, in LineSettings' terms, or Long.MAX_VALUE for an answer no
     * line has, or minus the error.
     */
    private long apply(int field, long value) {
        int v = (int) value;
        long r;
        switch (field) {
        case 1: r = link.exchange(Rfc2217Link.BAUD, v & 0xFFFFFFFFL, 4); break;
        case 2: r = link.exchange(Rfc2217Link.DATASIZE, v, 1); break;
        case 3: r = link.exchange(Rfc2217Link.PARITY, v + 1, 1); break;
        case 4: r = link.exchange(Rfc2217Link.STOPSIZE, STOP[v], 1); break;
        default: r = link.exchange(Rfc2217Link.CONTROL, FLOW[v], 1); break;
        }
        if (r < 0)
            return r;
        long got = field == 3 ? r - 1 : field == 4 ? indexOf(STOP, r) : field == 5 ? indexOf(FLOW, r) : r;
        boolean valid = field == 1 ? got > 0 && got <= Integer.MAX_VALUE
                : field == 2 ? got >= 5 && got <= 8 : got >= 0 && got <= 4;
        if (!valid)
            return Long.MAX_VALUE;
        synchronized (this) {
            long[] f = new long[6];
            long now = format == 0 ? LineSettings.of(9600).packed() : format;
            for (int i = 1; i <= 5; i++)
                f[i] = LineSettings.field(now, i);
            f[field] = got;
            format = LineSettings.pack((int) f[1], (int) f[2], (int) f[3], (int) f[4], (int) f[5], 0);
        }
        return got;
    }

    private static int indexOf(int[] values, long v) {
        for (int i = 0; i < values.length; i++)
            if (values[i] == v)
                return i;
        return -1;
    }

    /** What the server confirmed, field by field. */
    @Override public long getFormat() {
        int e = link.events.modemStatus(); // 0 or more while the connection lasts
        if (e < 0)
            return e;
        synchronized (this) {
            return format;
        }
    }

    @Override public int escape(int function) {
        if (function < 3 || function > 6)
            return -LineNatives.ERROR_INVALID_PARAMETER;
        int asked = LINES[function - 3];
        long r = PairTransport.given(link.exchange(Rfc2217Link.CONTROL, asked, 1));
        return r == -Rfc2217Link.NO_ANSWER || r >= 0 && r != asked ? -LineNatives.ERROR_NOT_SUPPORTED : r < 0 ? (int) r : 0;
    }

    @Override public int modemStatus() {
        return link.events.modemStatus();
    }

    @Override public int sendBreak(int ms) {
        return (int) PairTransport.given(breaking(ms));
    }

    private int breaking(int ms) {
        int r = link.drain(); // after the bytes written before it
        if (r != 0)
            return r;
        // Each answer is taken as done, whatever state it reports: ser2net
        // reports the break on in its answer to the release too.
        long on = link.exchange(Rfc2217Link.CONTROL, BREAK_ON, 1);
        if (on < 0)
            return on == -Rfc2217Link.NO_ANSWER ? -LineNatives.ERROR_NOT_SUPPORTED : (int) on;
        r = link.hold(ms);
        // Released unless the line is closing, whose connection's end releases it.
        long off = link.exchange(Rfc2217Link.CONTROL, BREAK_OFF, 1);
        if (r != 0)
            return r;
        return off == -Rfc2217Link.NO_ANSWER ? -LineNatives.ERROR_NOT_SUPPORTED : off < 0 ? (int) off : 0;
    }

    @Override public int drain() {
        return (int) PairTransport.given(link.drain());
    }

    /** The server's buffers, then ours: PURGE_RXCLEAR 8 is what came in, PURGE_TXCLEAR 4 what goes out. */
    @Override public int purge(int flags) {
        int which = ((flags & 8) != 0 ? 1 : 0) | ((flags & 4) != 0 ? 2 : 0);
        if (which == 0)
            return 0;
        long r = PairTransport.given(link.exchange(Rfc2217Link.PURGE, which, 1));
        if (r < 0)
            return r == -Rfc2217Link.NO_ANSWER ? -LineNatives.ERROR_NOT_SUPPORTED : (int) r;
        if ((flags & 8) != 0)
            line.purge(8);
        if ((flags & 4) != 0)
            link.dropOutput();
        return 0;
    }

    @Override public long waitEvents(int mask) {
        return PairTransport.given(link.events.waitEvents(mask));
    }

    @Override public int setEventMask(int mask) {
        return link.events.setEventMask(mask);
    }

    @Override public void wakeEvents() {
        link.events.wakeEvents();
    }
}
