// Telnet framing for a line carried over TCP: escaping, option negotiation and subnegotiation, with no I/O.
package ruvek;

import java.io.IOException;

/**
 * One connection's Telnet state, fed bytes as they come. Data leaves as
 * data, with 0xFF doubled on the wire both ways; WILL, WONT, DO and DONT are
 * answered here, accepting only the options given at construction, and
 * never answered twice for the same state, so that two ends can't loop. A
 * subnegotiation is held whole, up to {@link #SB_LIMIT} bytes: a longer one
 * is a {@link Fault} that ends the connection. Until BINARY is in force in a
 * direction, CR goes as CR NUL there and CR NUL arrives as CR.
 * Not thread-safe: one decoding thread; the encoders only read state that
 * a negotiation has settled.
 */
final class TelnetCodec {
    static final int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
    static final int BINARY = 0, SGA = 3, COM_PORT = 44;
    /** The longest subnegotiation held, its option byte included. */
    static final int SB_LIMIT = 256;

    /** The far end broke the protocol: the connection can't go on. */
    static final class Fault extends IOException {
        private static final long serialVersionUID = 1L;

        Fault(String message) {
            super(message);
        }
    }

    /** What decoding finds, in the order it comes. */
    interface Sink {
        void data(byte[] b, int off, int len);

        /** A whole subnegotiation: its option, then its bytes, unescaped; a Fault ends the connection. */
        void subnegotiation(int option, byte[] b, int len) throws Fault;

        /** Bytes to send back, an answer to the negotiation. */
        void reply(byte[] b);

        /** An option was turned on or off, or our request for it answered: ours (we do it) or the far end's. */
        void option(int option, boolean ours, boolean on);
    }

    private static final int DATA = 0, COMMAND = 1, VERB = 2, SB_OPTION = 3, SB_DATA = 4, SB_IAC = 5;

    private final boolean[] mayOurs = new boolean[256], mayTheirs = new boolean[256];
    private final boolean[] ours = new boolean[256], theirs = new boolean[256];
    private final boolean[] askedOurs = new boolean[256], askedTheirs = new boolean[256];
    private final byte[] sb = new byte[SB_LIMIT];
    private int state = DATA, verb, sbLength;
    private boolean afterCr;

    /** A codec that accepts the options in {@code ours} for itself and those in {@code theirs} for the far end. */
    TelnetCodec(int[] ours, int[] theirs) {
        for (int o : ours)
            mayOurs[o & 0xFF] = true;
        for (int o : theirs)
            mayTheirs[o & 0xFF] = true;
    }

    /** Whether we do {@code option} now. */
    boolean ours(int option) {
        return ours[option & 0xFF];
    }

    /** Whether the far end does {@code option} now. */
    boolean theirs(int option) {
        return theirs[option & 0xFF];
    }

    /** Asks to do {@code option} ourselves: IAC WILL, to send. */
    byte[] offer(int option) {
        askedOurs[option & 0xFF] = true;
        return new byte[] {(byte) IAC, (byte) WILL, (byte) option};
    }

    /** Asks the far end to do {@code option}: IAC DO, to send. */
    byte[] ask(int option) {
        askedTheirs[option & 0xFF] = true;
        return new byte[] {(byte) IAC, (byte) DO, (byte) option};
    }

    /** Decodes len bytes from off, telling sink what they hold; a Fault ends the connection. */
    void decode(byte[] in, int off, int len, Sink sink) throws Fault {
        int run = off; // the start of the data not yet told
        for (int i = off, end = off + len; i < end; i++) {
            int c = in[i] & 0xFF;
            if (state == DATA) {
                if (c == IAC) {
                    flush(in, run, i, sink);
                    run = i + 1;
                    state = COMMAND;
                    afterCr = false;
                } else if (c == 0 && afterCr && !theirs[BINARY]) {
                    flush(in, run, i, sink); // CR NUL is CR: the NUL goes
                    run = i + 1;
                    afterCr = false;
                } else {
                    afterCr = c == '\r';
                }
                continue;
            }
            run = i + 1;
            switch (state) {
            case COMMAND:
                state = DATA;
                if (c == IAC) {
                    sink.data(in, i, 1); // a doubled IAC is one 0xFF of data
                } else if (c >= WILL && c <= DONT) {
                    verb = c;
                    state = VERB;
                } else if (c == SB) {
                    state = SB_OPTION;
                } else if (c == SE) {
                    throw new Fault("the server ended a subnegotiation it had not begun");
                } // other commands (NOP, GA, AYT...) carry nothing a line needs
                break;
            case VERB:
                state = DATA;
                negotiate(verb, c, sink);
                break;
            case SB_OPTION:
                sb[0] = (byte) c;
                sbLength = 1;
                state = SB_DATA;
                break;
            case SB_DATA:
                if (c == IAC)
                    state = SB_IAC;
                else
                    keep(c);
                break;
            default: // SB_IAC
                if (c == IAC) {
                    keep(c);
                    state = SB_DATA;
                } else if (c == SE) {
                    state = DATA;
                    byte[] body = new byte[sbLength - 1];
                    System.arraycopy(sb, 1, body, 0, body.length);
                    sink.subnegotiation(sb[0] & 0xFF, body, body.length);
                } else {
                    throw new Fault("the server put IAC " + c + " inside a subnegotiation");
                }
                break;
            }
        }
        if (state == DATA)
            flush(in, run, off + len, sink);
    }

    private void flush(byte[] in, int from, int to, Sink sink) {
        if (to > from)
            sink.data(in, from, to - from);
    }

    private void keep(int c) throws Fault {
        if (sbLength == SB_LIMIT) {
            state = DATA;
            throw new Fault("the server sent a subnegotiation of more than " + SB_LIMIT + " bytes");
        }
        sb[sbLength++] = (byte) c;
    }

    /** Answers a WILL, WONT, DO or DONT only where our state changes, as RFC 854's loop rule asks. */
    private void negotiate(int verb, int option, Sink sink) {
        boolean them = verb == WILL || verb == WONT;
        boolean on = verb == WILL || verb == DO;
        boolean[] now = them ? theirs : ours, may = them ? mayTheirs : mayOurs, asked = them ? askedTheirs : askedOurs;
        boolean wasAsked = asked[option];
        asked[option] = false;
        if (on == now[option]) {
            if (wasAsked) // our request refused, or agreed already: no answer, but it is settled
                sink.option(option, !them, on);
            return; // no change: no answer
        }
        if (on && !may[option]) {
            sink.reply(new byte[] {(byte) IAC, (byte) (them ? DONT : WONT), (byte) option});
            return;
        }
        now[option] = on;
        if (!wasAsked) // an answer to our own request needs none; a demand, its acknowledgement
            sink.reply(new byte[] {(byte) IAC, (byte) (them ? (on ? DO : DONT) : (on ? WILL : WONT)), (byte) option});
        sink.option(option, !them, on);
    }

    /**
     * The data bytes for the wire: 0xFF doubled, and CR as CR NUL until we
     * send BINARY. out needs 2 * len bytes from outOff; the count written.
     */
    int encode(byte[] in, int off, int len, byte[] out, int outOff) {
        int k = outOff;
        boolean binary = ours[BINARY];
        for (int i = off, end = off + len; i < end; i++) {
            byte c = in[i];
            out[k++] = c;
            if (c == (byte) IAC || (c == '\r' && !binary))
                out[k++] = c == '\r' ? 0 : c;
        }
        return k - outOff;
    }

    /** IAC SB option payload IAC SE, the payload's 0xFF doubled. */
    static byte[] subnegotiation(int option, byte[] payload) {
        byte[] out = new byte[5 + 2 * payload.length];
        int k = 0;
        out[k++] = (byte) IAC;
        out[k++] = (byte) SB;
        out[k++] = (byte) option;
        for (byte b : payload) {
            out[k++] = b;
            if (b == (byte) IAC)
                out[k++] = b;
        }
        out[k++] = (byte) IAC;
        out[k++] = (byte) SE;
        return java.util.Arrays.copyOf(out, k);
    }
}
