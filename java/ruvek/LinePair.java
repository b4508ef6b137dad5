// Two SerialLines joined in memory, for applications' tests: no device and no natives.
package ruvek;

import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Two {@link SerialLine}s joined as by a null-modem cable, in this JVM,
 * with no device and no native library. Each keeps every promise a line
 * keeps: bytes both ways (a write waits while the far end holds 64 KiB
 * unread), turns, time-outs, interrupts, close from any thread, events and
 * messages. DTR of one is DSR and DCD of the other, RTS of one is CTS of the
 * other, and a break at one is a {@link LineEvent.Type#BREAK} at the other.
 * Settings are kept and read back as given; {@link #refuse} makes one end
 * refuse a field, to try an application's error path. Closing one end is
 * {@link PortDisconnectedException} and {@link LineEvent.Type#DEVICE_GONE}
 * at the other, after the bytes it sent.
 *
 * <pre>{@code
 * try (LinePair pair = LinePair.open(LineSettings.of(9600))) {
 *     pair.second().getOutputStream().write(reply);   // the device's side, played by the test
 *     byte[] got = new MessageReader(pair.first(), Framing.delimiter("\r\n", 256)).read();
 * }
 * }</pre>
 */
public final class LinePair implements AutoCloseable {
    private static final AtomicInteger MADE = new AtomicInteger();
    private static final String[] FIELDS = {"baud", "data bits", "parity", "stop bits", "flow control",
        "low latency", "RS-485"};

    private final SerialLine first, second;
    private final PairTransport[] ends;

    private LinePair(LineSettings settings) {
        int n = MADE.incrementAndGet();
        ends = PairTransport.joined(settings);
        first = new SerialLine(ends[0], SerialLine.NO_PORT, settings.baud(), "pair" + n + ":a", new Ports.Watch());
        second = new SerialLine(ends[1], SerialLine.NO_PORT, settings.baud(), "pair" + n + ":b", new Ports.Watch());
    }

    /**
     * A new pair, both ends open with the settings.
     *
     * @param settings each end's settings
     * @return the pair
     */
    public static LinePair open(LineSettings settings) {
        if (settings == null)
            throw new IllegalArgumentException("a pair needs its settings");
        return new LinePair(settings);
    }

    /** @return one end, named {@code pairN:a} */
    public SerialLine first() {
        return first;
    }

    /** @return the other end, named {@code pairN:b} */
    public SerialLine second() {
        return second;
    }

    /**
     * Has {@code end} refuse every change of {@code field} from now on, with
     * {@link UnsupportedSettingsException} naming it, as a driver would.
     *
     * @param end {@link #first()} or {@link #second()}
     * @param field "baud", "data bits", "parity", "stop bits", "flow control",
     *     "low latency" or "RS-485"; null refuses nothing again
     */
    public void refuse(SerialLine end, String field) {
        int n = field == null ? 0 : Arrays.asList(FIELDS).indexOf(field) + 1;
        if (field != null && n == 0)
            throw new IllegalArgumentException("no such field: " + field + "; the fields are " + Arrays.toString(FIELDS));
        if (end != first && end != second)
            throw new IllegalArgumentException("not an end of this pair: " + end.device());
        ends[end == first ? 0 : 1].refuse(n);
    }

    /** Closes both ends. */
    @Override
    public void close() {
        first.close();
        second.close();
    }

    @Override
    public String toString() {
        return first.device() + " joined to " + second.device();
    }
}
