// The connection under an rfc2217:// line: the socket, its two pumps, the Telnet state, and the server's answers and events.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.Socket;

/**
 * One connection to a COM port server. Two daemon threads pump the socket
 * into and out of an in-memory pair's end, whose other end the line reads
 * and writes, so that the line's waits, wakes and time-outs are the pair's.
 * The inward pump also takes the server's answers, which {@link #exchange}
 * waits for, and its notifications, which become the line's modem lines
 * and events. Every wait here is on one monitor, {@code state}.
 */
final class Rfc2217Link {
    static final int CONFIRM_MS = 5_000; // for each answer; the connection has TcpTransport's
    private static final int LINGER_MS = 1000;
    // The option's commands as the client numbers them; the server answers each 100 higher.
    static final int SIGNATURE = 0, BAUD = 1, DATASIZE = 2, PARITY = 3, STOPSIZE = 4, CONTROL = 5, LINESTATE = 6,
            MODEMSTATE = 7, SUSPEND = 8, RESUME = 9, LINESTATE_MASK = 10, MODEMSTATE_MASK = 11, PURGE = 12;
    private static final String[] COMMANDS = {"signature", "baud rate", "data size", "parity", "stop size",
        "control", "line state", "modem state", "suspend", "resume", "line state mask", "modem state mask", "purge"};

    final PairTransport line;    // the line's end
    private final PairTransport wire; // the pumps'
    private final Socket socket;
    private final String name;
    private final TelnetCodec telnet = new TelnetCodec(new int[] {TelnetCodec.BINARY, TelnetCodec.COM_PORT,
        TelnetCodec.SGA}, new int[] {TelnetCodec.BINARY, TelnetCodec.SGA});
    private final Object sending = new Object();    // the socket's output, whole commands at a time
    private final Object exchanging = new Object(); // one command awaiting its answer at a time
    private final Object state = new Object();
    private Thread out;
    // Under state:
    private final long[] answer = new long[PURGE + 1];
    private final boolean[] answered = new boolean[PURGE + 1];
    // Per command: the value asked now, and a timed-out ask's, whose late answer is not the next ask's.
    private final long[] asking = new long[PURGE + 1], late = new long[PURGE + 1];
    private int comPort = -1, binaryOurs = -1, binaryTheirs = -1; // -1 unanswered, 0 refused, 1 agreed
    private long written, sent;        // bytes the line wrote, and those the pump sent
    private boolean suspended, cancelled;
    private String gone;               // why the connection ended; null while it lasts
    final Rfc2217Events events;        // the server's notices, and the line's wait for them

    private Rfc2217Link(Socket socket, String name) {
        PairTransport[] ends = PairTransport.joined(LineSettings.of(9600));
        line = ends[0];
        wire = ends[1];
        this.socket = socket;
        java.util.Arrays.fill(asking, -1);
        java.util.Arrays.fill(late, -1);
        this.name = name;
        events = new Rfc2217Events(state, line, new Rfc2217Events.Connection() {
            @Override public int ended() {
                return Rfc2217Link.this.ended();
            }

            @Override public boolean await(long deadline) {
                return waitState(deadline);
            }
        });
    }

    /** Connects and agrees the option; a failure names its cause and leaves nothing open. */
    static Rfc2217Link connect(String name) throws SerialPortException {
        Rfc2217Link link = new Rfc2217Link(TcpTransport.dial(name, "rfc2217://"), name);
        // Asked before the pumps start, which then see what was asked.
        byte[] offers = concat(link.telnet.offer(TelnetCodec.COM_PORT), link.telnet.offer(TelnetCodec.BINARY),
                link.telnet.ask(TelnetCodec.BINARY));
        boolean done = false;
        try {
            link.start();
            link.agree(offers);
            done = true;
            return link;
        } finally {
            PairTransport.given(0);
            if (!done) {
                link.cancel();
                link.close();
            }
        }
    }

    private static byte[] concat(byte[]... parts) {
        int n = 0;
        for (byte[] p : parts)
            n += p.length;
        byte[] all = new byte[n];
        n = 0;
        for (byte[] p : parts) {
            System.arraycopy(p, 0, all, n, p.length);
            n += p.length;
        }
        return all;
    }

    /** Why the connection ended, null while it lasts. */
    String gone() {
        synchronized (state) {
            return gone;
        }
    }

    private void start() {
        Thread in = new Thread(this::inward, "ruvek rfc2217 in " + name);
        out = new Thread(this::outward, "ruvek rfc2217 out " + name);
        in.setDaemon(true);
        out.setDaemon(true);
        in.start();
        out.start();
    }

    /** Offers the option and BINARY both ways; the option's refusal, or no answer, fails the open. */
    private void agree(byte[] offers) throws SerialPortException {
        send(offers, offers.length);
        long deadline = System.nanoTime() + CONFIRM_MS * 1_000_000L;
        synchronized (state) {
            while (gone == null && (comPort < 0 || binaryOurs < 0 || binaryTheirs < 0) && waitState(deadline)) {
                // until every offer is answered: a server that ignores BINARY costs the wait, not the line
            }
            if (gone != null)
                throw new SerialPortException(SerialLine.NO_PORT, name, gone);
            if (comPort == 0)
                throw new SerialPortException(SerialLine.NO_PORT, name, "the server refuses the COM port option "
                        + "(RFC 2217); socket:// reaches a server that carries bytes only");
            if (comPort < 0)
                throw new SerialPortException(SerialLine.NO_PORT, name,
                        "the server did not take the COM port option (RFC 2217) within " + CONFIRM_MS + " ms");
        }
        // Breaks and line errors; every modem line and its changes. A server
        // may answer with the state itself (ser2net does), or not at all.
        if ((exchange(LINESTATE_MASK, 0x1E, 1) | exchange(MODEMSTATE_MASK, 0xFF, 1)) < 0 && gone() != null)
            throw new SerialPortException(SerialLine.NO_PORT, name, gone());
    }

    /** Waits on state until the deadline (0: without limit); false once it has passed. */
    private boolean waitState(long deadline) {
        try {
            long left = deadline == 0 ? 0 : (deadline - System.nanoTime()) / 1_000_000;
            if (deadline != 0 && left <= 0)
                return false;
            state.wait(deadline == 0 ? 0 : Math.max(1, left));
        } catch (InterruptedException e) {
            PairTransport.tookInterrupt(); // given back as the call returns, as the pair does
        }
        return true;
    }

    /** Ends the connection for why, the first why kept; the line then reads what came, then its device gone. */
    private void end(String why) {
        synchronized (state) {
            if (gone == null)
                gone = why;
            state.notifyAll();
        }
        wire.close();
        TcpTransport.closeQuietly(socket);
    }

    /** Bytes to the server, whole; false once the connection has failed. */
    private boolean send(byte[] b, int len) {
        synchronized (sending) {
            try {
                OutputStream to = socket.getOutputStream();
                to.write(b, 0, len);
                to.flush();
                return true;
            } catch (IOException e) {
                end("the connection failed: " + e.getMessage());
                return false;
            }
        }
    }

    /** An exchange's result when no answer came within CONFIRM_MS; ours, never the system's (bit 29). */
    static final int NO_ANSWER = 0x20001002;

    /**
     * Sends command with its value, big-endian in size bytes, and waits for
     * the server's answer: its value, or minus the error, -NO_ANSWER when
     * none came in time. ser2net answers nothing to what it can't do (1.5
     * stop bits, DTR on a device without modem lines), so that the silence
     * is a refusal, not the connection's end.
     */
    long exchange(int command, long value, int size) {
        synchronized (exchanging) {
            synchronized (state) {
                int e = ended();
                if (e != 0)
                    return e;
                answered[command] = false;
                asking[command] = value;
            }
            byte[] sb = new byte[size + 1];
            sb[0] = (byte) command;
            for (int i = 0; i < size; i++)
                sb[size - i] = (byte) (value >>> 8 * i);
            byte[] wireForm = TelnetCodec.subnegotiation(TelnetCodec.COM_PORT, sb);
            send(wireForm, wireForm.length);
            long deadline = System.nanoTime() + CONFIRM_MS * 1_000_000L;
            synchronized (state) {
                while (!answered[command] && ended() == 0 && waitState(deadline)) {
                    // until the answer, the end, or the time-out
                }
                asking[command] = -1;
                if (answered[command])
                    return answer[command];
                int e = ended();
                if (e == 0)
                    late[command] = value;
                return e != 0 ? e : -NO_ANSWER;
            }
        }
    }

    /** Why no call may go on, as minus the error; 0 when it may. Under state. */
    private int ended() {
        return cancelled ? -LineNatives.ERROR_OPERATION_ABORTED : gone != null ? -LineNatives.ERROR_DEVICE_REMOVED : 0;
    }

    /** The server's bytes: data to the line, the rest to the protocol. */
    private void inward() {
        byte[] buf = new byte[16384];
        boolean[] lineGone = {false};
        TelnetCodec.Sink sink = new TelnetCodec.Sink() {
            @Override public void data(byte[] b, int off, int len) {
                if (lineGone[0] || wire.write(b, off, len) < 0) {
                    lineGone[0] = true;
                    return;
                }
                events.raise(LineNatives.EV_RXCHAR, 0);
            }

            @Override public void subnegotiation(int option, byte[] b, int len) throws TelnetCodec.Fault {
                if (option == TelnetCodec.COM_PORT && len > 0)
                    told(b[0] & 0xFF, b, len);
            }

            @Override public void reply(byte[] b) {
                send(b, b.length);
            }

            @Override public void option(int option, boolean ours, boolean on) {
                synchronized (state) {
                    if (option == TelnetCodec.COM_PORT && ours)
                        comPort = on ? 1 : 0;
                    else if (option == TelnetCodec.BINARY && ours)
                        binaryOurs = on ? 1 : 0;
                    else if (option == TelnetCodec.BINARY)
                        binaryTheirs = on ? 1 : 0;
                    state.notifyAll();
                }
            }
        };
        String why = "the server closed the connection";
        try {
            InputStream from = socket.getInputStream();
            for (int n; !lineGone[0] && (n = from.read(buf)) > 0; )
                telnet.decode(buf, 0, n, sink);
        } catch (TelnetCodec.Fault e) {
            why = e.getMessage();
        } catch (IOException e) {
            why = "the connection failed: " + e.getMessage();
        } finally {
            end(why);
        }
    }

    /** A COM port command from the server: an answer, a notification, or flow control. */
    private void told(int code, byte[] b, int len) throws TelnetCodec.Fault {
        if (code == SIGNATURE) { // the server asks who we are
            byte[] me = TelnetCodec.subnegotiation(TelnetCodec.COM_PORT, new byte[] {100, 'r', 'u', 'v', 'e', 'k'});
            send(me, me.length);
            return;
        }
        int command = code - 100;
        if (command <= SIGNATURE || command > PURGE)
            return; // nothing a line needs
        int size = command == BAUD ? 4 : 1;
        if (len - 1 < size)
            throw new TelnetCodec.Fault("the server's " + COMMANDS[command] + " is " + (len - 1) + " bytes, not " + size);
        long v = 0;
        for (int i = 1; i <= size; i++)
            v = v << 8 | (b[i] & 0xFF);
        synchronized (state) {
            if (command == LINESTATE) {
                answered[LINESTATE_MASK] = true; // the mask's answer, for a server that answers with the state
                events.lineState(v);
            } else if (command == MODEMSTATE) {
                answered[MODEMSTATE_MASK] = true;
                events.modemState(v);
            } else if (command == SUSPEND || command == RESUME) {
                suspended = command == SUSPEND;
            } else if (v == late[command] && v != asking[command]) {
                late[command] = -1; // a timed-out ask's answer, not this one's
            } else {
                if (v == late[command])
                    late[command] = -1; // asked again, and answered
                answer[command] = v;
                answered[command] = true;
            }
            state.notifyAll();
        }
    }

    /** The line's bytes to the server, escaped, until the line or the connection ends. */
    private void outward() {
        byte[] buf = new byte[8192], escaped = new byte[2 * buf.length];
        for (int n; (n = wire.read(buf, 0, buf.length, 0)) >= 0; ) {
            if (n == 0)
                continue;
            int k;
            synchronized (state) {
                while (suspended && gone == null && waitState(0)) {
                    // the server asked us to hold on
                }
                if (gone != null)
                    break;
                k = telnet.encode(buf, 0, n, escaped, 0); // under state: BINARY's agreement is seen
            }
            if (!send(escaped, k))
                break;
            synchronized (state) {
                sent += n;
                if (sent >= written)
                    events.held(LineNatives.EV_TXEMPTY, 0);
                state.notifyAll();
            }
        }
        end("the line closed");
    }

    int write(byte[] b, int off, int len) {
        synchronized (state) {
            written += len; // counted first, so that the pump's count never passes it unseen
        }
        int r = line.write(b, off, len);
        if (r != len) {
            synchronized (state) {
                written -= len;
            }
        }
        return r;
    }

    void cancel() {
        line.cancel();
        synchronized (state) {
            cancelled = true;
            state.notifyAll();
        }
    }

    /** Ends the line; what it wrote still goes out, for up to LINGER_MS, then the connection closes. */
    boolean close() {
        boolean first = line.close();
        if (out != null && Thread.currentThread() != out) {
            try {
                out.join(LINGER_MS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        end("the line closed");
        return first;
    }

    /** 0 after ms, or sooner minus the error once the line closes. */
    int hold(int ms) {
        synchronized (state) {
            long deadline = System.nanoTime() + ms * 1_000_000L;
            while (ms > 0 && ended() == 0 && waitState(deadline)) {
                // the break lasts ms, unless the line closes
            }
            return ended();
        }
    }

    /** Once the pump has handed every byte written to the socket. */
    int drain() {
        synchronized (state) {
            while (sent < written && ended() == 0 && waitState(0)) {
                // the pump notifies as it sends
            }
            return ended();
        }
    }

    /** Drops what the line wrote and the pump has not taken. */
    void dropOutput() {
        wire.purge(8);
        synchronized (state) {
            written = sent;
            state.notifyAll();
        }
    }
}
