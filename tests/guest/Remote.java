// The bench's RFC 2217 client: lines opened from the host to ser2net inside the guest, over QEMU's user network.
package ruvek.guest;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.SocketTimeoutException;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import ruvek.LineSettings;
import ruvek.PortDisconnectedException;
import ruvek.SerialLine;
import ruvek.SerialPortException;

/**
 * The guest serves a device on a fixed port of its own (2217 the adapter,
 * 2218 the 8250 on ttyS1), which QEMU forwards from a free port of the
 * host's loopback. The commands, after "remote":
 * <pre>
 *   open usb|uart FORMAT BAUD    opens rfc2217:// to it; "ok SETTINGS" as the server confirmed them
 *   set usb|uart FORMAT BAUD     changes the settings; "ok SETTINGS"
 *   flow usb|uart NONE|RTS_CTS|XON_XOFF
 *   lines usb|uart DTR RTS       sets DTR and RTS, each 0 or 1
 *   echo usb|uart COUNT SEED     sends COUNT bytes, 0xFF-heavy, and reads them back from an echoing far end
 *   gone usb|uart                "ok MS": how long until a read saw the line drop
 *   close usb|uart
 * </pre>
 */
final class Remote {
    /** The guest's ports, by the device ser2net serves on them. */
    static final Map<String, Integer> GUEST_PORTS = Map.of("usb", 2217, "uart", 2218);
    private static final long PATIENCE_MS = 60_000;

    private final Map<String, Integer> hostPorts;
    private final Map<String, SerialLine> lines = new HashMap<>();

    /** @param hostPorts the host's port that QEMU forwards to each guest port */
    Remote(Map<String, Integer> hostPorts) {
        this.hostPorts = hostPorts;
    }

    String answer(String[] w) throws IOException, InterruptedException {
        String which = w[2];
        switch (w[1]) {
        case "open": {
            SerialLine old = lines.remove(which);
            if (old != null)
                old.close();
            LineSettings asked = LineSettings.of(Integer.parseInt(w[4])).withFormat(w[3]);
            SerialLine line = connect("rfc2217://127.0.0.1:" + port(which), asked);
            lines.put(which, line);
            line.setReadTimeout(5_000);
            return "ok " + line.settings();
        }
        case "set":
            line(which).setSettings(LineSettings.of(Integer.parseInt(w[4])).withFormat(w[3]));
            return "ok " + line(which).settings();
        case "flow":
            line(which).setSettings(line(which).settings().withFlowControl(LineSettings.FlowControl.valueOf(w[3])));
            return "ok " + line(which).settings();
        case "lines":
            line(which).setDTR(w[3].equals("1"));
            line(which).setRTS(w[4].equals("1"));
            return "ok";
        case "echo":
            return echo(line(which), Integer.parseInt(w[3]), Long.parseLong(w[4]));
        case "gone":
            return gone(line(which));
        case "close": {
            SerialLine line = lines.remove(which);
            if (line != null)
                line.close();
            return "ok";
        }
        default:
            return "error unknown remote command " + w[1];
        }
    }

    private int port(String which) {
        Integer p = hostPorts.get(which);
        if (p == null)
            throw new IllegalArgumentException("no served device " + which);
        return p;
    }

    private SerialLine line(String which) {
        SerialLine l = lines.get(which);
        if (l == null)
            throw new IllegalStateException("no remote line " + which + " is open");
        return l;
    }

    /**
     * QEMU's user network takes a connection before the guest's server
     * listens, and then resets it: try again until the server answers.
     */
    private static SerialLine connect(String name, LineSettings settings) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
        for (;;) {
            try {
                return SerialLine.open(name, settings);
            } catch (SerialPortException e) {
                if (System.nanoTime() > deadline)
                    throw e;
                Thread.sleep(200);
            }
        }
    }

    private static String echo(SerialLine line, int count, long seed) throws IOException {
        byte[] sent = new byte[count];
        Random random = new Random(seed);
        for (int i = 0; i < count; i++)
            sent[i] = random.nextInt(3) == 0 ? (byte) 0xFF : i % 7 == 0 ? (byte) '\r' : (byte) random.nextInt(256);
        for (int i = 1; i < count; i += 97)
            if (sent[i - 1] == '\r')
                sent[i] = 0; // CR NUL, which Telnet's text mode would eat
        byte[] got = new byte[count];
        Thread writer = new Thread(() -> {
            try {
                OutputStream out = line.getOutputStream();
                out.write(sent);
                out.flush();
            } catch (IOException e) {
                // the read below reports what is missing
            }
        }, "remote echo writer");
        writer.start();
        InputStream in = line.getInputStream();
        int n = 0;
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
        while (n < count && System.nanoTime() < deadline) {
            try {
                n += Math.max(in.read(got, n, count - n), 0);
            } catch (SocketTimeoutException quiet) {
                // the deadline decides
            }
        }
        try {
            writer.join(PATIENCE_MS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (n < count)
            return "error " + n + " of " + count + " bytes came back";
        if (!Arrays.equals(sent, got)) {
            int i = Arrays.mismatch(sent, got);
            return String.format("error byte %d came back as %02x, sent %02x", i, got[i] & 0xFF, sent[i] & 0xFF);
        }
        return "ok";
    }

    /** Reads until the line drops; what else arrives is dropped. */
    private static String gone(SerialLine line) throws IOException {
        long at = System.nanoTime(), deadline = at + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
        InputStream in = line.getInputStream();
        byte[] buf = new byte[4096];
        try {
            while (System.nanoTime() < deadline) {
                try {
                    in.read(buf);
                } catch (SocketTimeoutException quiet) {
                    // the deadline decides
                }
            }
        } catch (PortDisconnectedException e) {
            return "ok " + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - at);
        }
        return "error the line was still up after " + PATIENCE_MS + " ms";
    }
}
