// Raw TCP (socket://host:port): bytes to and from a server that carries bytes only, such as ser2net's raw mode.
package ruvek;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Socket;

/**
 * A line whose bytes cross a TCP connection and nothing else: settings,
 * modem lines and breaks are refused as not supported by this transport.
 * Two daemon threads pump the socket into and out of one end of an
 * in-memory pair, whose other end the line uses, so that the line's waits,
 * wakes, time-outs and events are the pair's. The server's closing, or a
 * failed socket, is the device gone.
 */
final class TcpTransport implements Transport {
    /** Ours, never the system's (bit 29): the transport can't do this at all. */
    static final int NOT_BY_TRANSPORT = 0x20001000;
    private static final int CONNECT_MS = 10_000;
    private static final int LINGER_MS = 1000;

    private final PairTransport line, wire; // the line's end, and the pumps'
    private final Socket socket;
    private final String name;
    private Thread out;

    private TcpTransport(Socket socket, String name) {
        PairTransport[] ends = PairTransport.joined(LineSettings.of(9600));
        line = ends[0];
        wire = ends[1];
        this.socket = socket;
        this.name = name;
    }

    /** Connects to socket://host:port, naming the time-out in the failure. */
    static TcpTransport connect(String name) throws SerialPortException {
        TcpTransport t = new TcpTransport(dial(name, "socket://"), name);
        t.start();
        return t;
    }

    /** A connection to PREFIX host:port, without Nagle's delay; a failure names its cause, the time-out too. */
    static Socket dial(String name, String prefix) throws SerialPortException {
        String[] where = hostAndPort(name, prefix);
        Socket s = new Socket();
        try {
            s.setTcpNoDelay(true);
            s.connect(new InetSocketAddress(where[0], Integer.parseInt(where[1])), CONNECT_MS);
            return s;
        } catch (java.net.SocketTimeoutException e) {
            closeQuietly(s);
            throw failed(name, "no connection within " + CONNECT_MS + " ms", e);
        } catch (IOException | IllegalArgumentException | SecurityException e) {
            closeQuietly(s);
            throw failed(name, "cannot connect: " + e.getMessage(), e);
        }
    }

    /**
     * The host and port of PREFIX host:port, host a name, an IPv4 address
     * or an IPv6 one in brackets; anything else is refused, naming the fault.
     */
    static String[] hostAndPort(String name, String prefix) {
        String rest = name.substring(prefix.length());
        int colon = rest.lastIndexOf(':');
        if (colon <= 0 || colon == rest.length() - 1)
            throw new IllegalArgumentException(name + ": give the server as " + prefix + "host:port");
        String host = rest.substring(0, colon), port = rest.substring(colon + 1);
        if (host.startsWith("[") && host.endsWith("]")) {
            host = host.substring(1, host.length() - 1);
            if (host.isEmpty() || !host.matches("[0-9A-Fa-f:.]+(%[A-Za-z0-9._-]+)?") || host.indexOf(':') < 0)
                throw new IllegalArgumentException(name + ": not an IPv6 address: [" + host + "]");
        } else if (!host.matches("[A-Za-z0-9.-]+") || host.length() > 253) {
            throw new IllegalArgumentException(name + ": not a host name: " + host
                    + (host.indexOf(':') >= 0 ? " (an IPv6 address goes in brackets)" : ""));
        }
        if (!port.matches("[0-9]{1,5}") || Integer.parseInt(port) < 1 || Integer.parseInt(port) > 65535)
            throw new IllegalArgumentException(name + ": not a port from 1 to 65535: " + port);
        return new String[] {host, port};
    }

    static SerialPortException failed(String name, String why, Throwable cause) {
        SerialPortException e = new NoSuchPortException(SerialLine.NO_PORT, name, why);
        e.initCause(cause);
        return e;
    }

    static void closeQuietly(Socket s) {
        try {
            s.close();
        } catch (IOException ignored) {
            // closing is all that was left
        }
    }

    private void start() {
        Thread in = new Thread(this::inward, "ruvek tcp in " + name);
        out = new Thread(this::outward, "ruvek tcp out " + name);
        in.setDaemon(true);
        out.setDaemon(true);
        in.start();
        out.start();
    }

    /** The server's bytes to the line; its end is the device gone. */
    private void inward() {
        byte[] buf = new byte[16384];
        try {
            InputStream from = socket.getInputStream();
            for (int n; (n = from.read(buf)) > 0; )
                if (wire.write(buf, 0, n) < 0)
                    break;
        } catch (IOException e) {
            // the connection failed: as its end
        } finally {
            wire.close();
            closeQuietly(socket);
        }
    }

    /** The line's bytes to the server, until the line or the connection ends. */
    private void outward() {
        byte[] buf = new byte[16384];
        try {
            OutputStream to = socket.getOutputStream();
            for (int n; (n = wire.read(buf, 0, buf.length, 0)) >= 0; )
                if (n > 0) {
                    to.write(buf, 0, n);
                    to.flush();
                }
        } catch (IOException e) {
            // the connection failed
        } finally {
            wire.close();
            closeQuietly(socket);
        }
    }

    @Override public int read(byte[] b, int off, int len, int timeoutMs) {
        return line.read(b, off, len, timeoutMs);
    }

    @Override public int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs) {
        return line.readGap(b, off, len, gapMs, firstWaitMs);
    }

    @Override public int write(byte[] b, int off, int len) {
        return line.write(b, off, len);
    }

    @Override public int available() {
        return line.available();
    }

    @Override public void cancel() {
        line.cancel();
    }

    @Override public void wakeRead() {
        line.wakeRead();
    }

    /** Ends the line; what it wrote still goes out, for up to LINGER_MS, then the connection closes. */
    @Override public boolean close() {
        boolean first = line.close();
        if (Thread.currentThread() != out) {
            try {
                out.join(LINGER_MS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        closeQuietly(socket); // the pumps end with it
        return first;
    }

    @Override public int setFormat(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        return -NOT_BY_TRANSPORT;
    }

    @Override public long getFormat() {
        return -NOT_BY_TRANSPORT;
    }

    @Override public int escape(int function) {
        return -NOT_BY_TRANSPORT;
    }

    @Override public int modemStatus() {
        return -NOT_BY_TRANSPORT;
    }

    @Override public int sendBreak(int ms) {
        return -NOT_BY_TRANSPORT;
    }

    @Override public int drain() {
        return line.drain(); // written is handed to the socket's pump
    }

    @Override public int purge(int flags) {
        return line.purge(flags);
    }

    @Override public long waitEvents(int mask) {
        // Only bytes come over TCP: a wait for anything else waits for the end.
        return line.waitEvents(mask);
    }

    @Override public int setEventMask(int mask) {
        return line.setEventMask(mask);
    }

    @Override public void wakeEvents() {
        line.wakeEvents();
    }
}
