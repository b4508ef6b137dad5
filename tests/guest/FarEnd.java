// The far end of one of the guest's lines, on the host: it echoes, swallows, keeps or relays what the guest sends.
package ruvek.guest;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.zip.CRC32;

/**
 * One QEMU chardev socket. Its reader never stops reading, whatever the
 * writer has yet to send, since a chardev write blocks QEMU's main loop; its
 * writer sends from a queue of its own. A telnet far end drops the
 * negotiation QEMU opens with, escapes 0xFF in what it sends (QEMU takes
 * IAC IAC as one 0xFF) and can send a break; what QEMU sends after the
 * negotiation is raw, since it escapes nothing.
 */
final class FarEnd {
    enum Mode { SINK, ECHO, KEEP, RELAY }

    private static final int IAC = 0xFF, BRK = 0xF3;
    private static final byte[] STOP = new byte[0];

    final String name;
    private final SocketChannel channel;
    private final boolean telnet;
    private final LinkedBlockingQueue<byte[]> outgoing = new LinkedBlockingQueue<>();
    private volatile Mode mode = Mode.SINK;
    private volatile FarEnd peer; // where RELAY sends
    private long count;
    private final CRC32 crc = new CRC32();
    private final ByteArrayOutputStream kept = new ByteArrayOutputStream();

    FarEnd(String name, SocketChannel channel, boolean telnet) {
        this.name = name;
        this.channel = channel;
        this.telnet = telnet;
        Thread reader = new Thread(this::read, "far end " + name + " reader");
        Thread writer = new Thread(this::write, "far end " + name + " writer");
        reader.setDaemon(true);
        writer.setDaemon(true);
        reader.start();
        writer.start();
    }

    synchronized void mode(Mode m, FarEnd to) {
        peer = to;
        mode = m;
        count = 0;
        crc.reset();
        kept.reset();
    }

    /** What arrived since the mode was set or last asked: the count and its CRC-32, and the bytes when kept. */
    synchronized String took() {
        StringBuilder hex = new StringBuilder();
        for (byte b : kept.toByteArray())
            hex.append(String.format("%02x", b & 0xFF));
        String said = count + " " + Long.toHexString(crc.getValue()) + (hex.length() > 0 ? " " + hex : "");
        count = 0;
        crc.reset();
        kept.reset();
        return said;
    }

    void send(byte[] bytes) {
        if (!telnet) {
            outgoing.add(bytes);
            return;
        }
        ByteArrayOutputStream escaped = new ByteArrayOutputStream();
        for (byte b : bytes) {
            escaped.write(b);
            if ((b & 0xFF) == IAC)
                escaped.write(IAC);
        }
        outgoing.add(escaped.toByteArray());
    }

    /** A break: only a telnet far end can send one, as IAC BRK. */
    boolean sendBreak() {
        if (!telnet)
            return false;
        outgoing.add(new byte[] {(byte) IAC, (byte) BRK});
        return true;
    }

    private void read() {
        ByteBuffer buf = ByteBuffer.allocate(65536);
        // The negotiation: IAC, then WILL, WONT, DO or DONT, then an option;
        // the first byte outside such a triple begins the raw data.
        int negotiating = telnet ? 0 : -1; // the triple's bytes so far; -1: raw data
        try {
            while (channel.read(buf.clear()) >= 0) {
                ByteArrayOutputStream data = new ByteArrayOutputStream(buf.position());
                for (int i = 0; i < buf.position(); i++) {
                    int b = buf.get(i) & 0xFF;
                    if (negotiating == 0 && b == IAC || negotiating == 1 && b >= 251 && b <= 254 || negotiating == 2) {
                        negotiating = (negotiating + 1) % 3;
                        continue;
                    }
                    negotiating = -1;
                    data.write(b);
                }
                arrived(data.toByteArray());
            }
        } catch (IOException e) {
            // QEMU is gone
        }
        outgoing.add(STOP);
    }

    private synchronized void arrived(byte[] data) {
        if (data.length == 0)
            return;
        count += data.length;
        crc.update(data);
        switch (mode) {
        case ECHO:
            send(data);
            break;
        case KEEP:
            if (kept.size() < 1 << 20)
                kept.write(data, 0, Math.min(data.length, (1 << 20) - kept.size()));
            break;
        case RELAY:
            FarEnd to = peer;
            if (to != null)
                to.send(data);
            break;
        default:
            break;
        }
    }

    private void write() {
        try {
            for (byte[] b; (b = outgoing.take()) != STOP; ) {
                ByteBuffer out = ByteBuffer.wrap(b);
                while (out.hasRemaining())
                    channel.write(out);
            }
        } catch (IOException | InterruptedException e) {
            // QEMU is gone
        }
    }
}
