// The Telnet codec alone: escaping both ways, negotiation that never loops, and streams from a hostile server.
package ruvek;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import org.junit.jupiter.api.Test;

class TelnetCodecTest {
    /** What one decode told, kept. */
    static final class Told implements TelnetCodec.Sink {
        final ByteArrayOutputStream data = new ByteArrayOutputStream(), replies = new ByteArrayOutputStream();
        final List<byte[]> subs = new ArrayList<>();
        int largestSub;

        @Override public void data(byte[] b, int off, int len) {
            data.write(b, off, len);
        }

        @Override public void subnegotiation(int option, byte[] b, int len) {
            largestSub = Math.max(largestSub, len + 1);
            subs.add(java.util.Arrays.copyOf(b, len));
        }

        @Override public void reply(byte[] b) {
            replies.write(b, 0, b.length);
        }

        @Override public void option(int option, boolean ours, boolean on) {}
    }

    private static TelnetCodec codec() {
        return new TelnetCodec(new int[] {TelnetCodec.BINARY, TelnetCodec.COM_PORT}, new int[] {TelnetCodec.BINARY});
    }

    private static byte[] bytes(int... v) {
        byte[] b = new byte[v.length];
        for (int i = 0; i < v.length; i++)
            b[i] = (byte) v[i];
        return b;
    }

    @Test
    void everyByteValueSurvivesEncodeAndDecodeInBinaryModeFedOneByteAtATime() throws Exception {
        TelnetCodec c = codec();
        Told t = new Told();
        // Both ways binary: CR is data.
        c.decode(bytes(255, 251, 0, 255, 253, 0), 0, 6, t);
        assertTrue(c.ours(TelnetCodec.BINARY) && c.theirs(TelnetCodec.BINARY));
        byte[] all = new byte[1024];
        new Random(1).nextBytes(all);
        for (int i = 0; i < 256; i++)
            all[i] = (byte) i;
        all[300] = '\r';
        all[301] = 0;
        byte[] wire = new byte[2 * all.length];
        int n = c.encode(all, 0, all.length, wire, 0);
        int ffs = 0;
        for (byte b : all)
            ffs += b == (byte) 0xFF ? 1 : 0;
        assertEquals(all.length + ffs, n, "each 0xFF doubled, nothing else added");
        Told back = new Told();
        for (int i = 0; i < n; i++)
            c.decode(wire, i, 1, back);
        assertArrayEquals(all, back.data.toByteArray());
    }

    @Test
    void outsideBinaryCrGoesAsCrNulAndComesBackAsCr() throws Exception {
        TelnetCodec c = codec();
        byte[] wire = new byte[8];
        assertEquals(6, c.encode(bytes('a', '\r', '\n', '\r'), 0, 4, wire, 0));
        assertArrayEquals(bytes('a', '\r', 0, '\n', '\r', 0), java.util.Arrays.copyOf(wire, 6));
        Told t = new Told();
        c.decode(bytes('a', '\r', 0, '\r', '\n', 0), 0, 6, t);
        assertArrayEquals(bytes('a', '\r', '\r', '\n', 0), t.data.toByteArray(), "only a NUL after CR goes");
    }

    @Test
    void negotiationAcceptsOnlyItsOptionsAndNeverAnswersTwice() throws Exception {
        TelnetCodec c = codec();
        Told t = new Told();
        c.decode(bytes(255, 253, 1, 255, 251, 1, 255, 253, 44, 255, 253, 44, 255, 254, 5), 0, 15, t);
        // ECHO refused both ways; the option agreed once; DONT of what is off needs no answer.
        assertArrayEquals(bytes(255, 252, 1, 255, 254, 1, 255, 251, 44), t.replies.toByteArray());
        Told asked = new Told();
        TelnetCodec d = codec();
        d.offer(TelnetCodec.COM_PORT);
        d.decode(bytes(255, 253, 44), 0, 3, asked);
        assertTrue(d.ours(TelnetCodec.COM_PORT));
        assertEquals(0, asked.replies.size(), "an answer to our own offer is not answered");
    }

    @Test
    void subnegotiationsAreUnescapedAndBoundedAndAStraySeIsAFault() throws Exception {
        TelnetCodec c = codec();
        Told t = new Told();
        byte[] sb = TelnetCodec.subnegotiation(44, bytes(101, 0, 0, 0xFF, 0xFF));
        c.decode(sb, 0, sb.length, t);
        assertArrayEquals(bytes(101, 0, 0, 0xFF, 0xFF), t.subs.get(0));
        byte[] longest = new byte[TelnetCodec.SB_LIMIT - 1];
        byte[] ok = TelnetCodec.subnegotiation(44, longest);
        c.decode(ok, 0, ok.length, t);
        byte[] tooLong = TelnetCodec.subnegotiation(44, new byte[TelnetCodec.SB_LIMIT]);
        TelnetCodec.Fault f = assertThrows(TelnetCodec.Fault.class, () -> c.decode(tooLong, 0, tooLong.length, t));
        assertTrue(f.getMessage().contains("more than " + TelnetCodec.SB_LIMIT), f.getMessage());
        assertThrows(TelnetCodec.Fault.class, () -> codec().decode(bytes(255, 240), 0, 2, new Told()));
        assertThrows(TelnetCodec.Fault.class, () -> codec().decode(bytes(255, 250, 44, 1, 255, 1), 0, 6, new Told()));
    }

    /** Random streams, and valid ones mutated, for a few seconds: only the codec's own Fault, and bounded output. */
    @Test
    void fuzzedStreamsGiveOnlyTheCodecsFaultAndNeverGrowPastTheBound() throws Exception {
        Random r = new Random(2217);
        long end = System.nanoTime() + 3_000_000_000L;
        int runs = 0, faults = 0;
        while (System.nanoTime() < end) {
            runs++;
            byte[] stream = r.nextBoolean() ? random(r) : mutated(r);
            TelnetCodec c = codec();
            Told t = new Told();
            try {
                for (int i = 0; i < stream.length; ) {
                    int n = Math.min(stream.length - i, 1 + r.nextInt(64));
                    c.decode(stream, i, n, t);
                    i += n;
                }
            } catch (TelnetCodec.Fault expected) {
                faults++;
            }
            assertTrue(t.largestSub <= TelnetCodec.SB_LIMIT, "a subnegotiation of " + t.largestSub + " bytes");
            assertTrue(t.data.size() <= stream.length, "more data out than came in");
            assertTrue(t.replies.size() <= stream.length, "more answers than asked for");
        }
        assertTrue(runs > 100 && faults > 0, runs + " runs, " + faults + " faults");
    }

    private static byte[] random(Random r) {
        byte[] b = new byte[r.nextInt(2048)];
        r.nextBytes(b);
        // Telnet's own bytes, often, so that commands and their states are reached.
        for (int i = 0; i < b.length; i++)
            if (r.nextInt(4) == 0)
                b[i] = (byte) (240 + r.nextInt(16));
        return b;
    }

    private static byte[] mutated(Random r) {
        ByteArrayOutputStream s = new ByteArrayOutputStream();
        for (int k = r.nextInt(40); k-- > 0; ) {
            switch (r.nextInt(4)) {
            case 0: s.write(bytes(255, 251 + r.nextInt(4), r.nextInt(256)), 0, 3); break;
            case 1: byte[] p = new byte[r.nextInt(300)];
                r.nextBytes(p);
                byte[] sb = TelnetCodec.subnegotiation(44, p);
                s.write(sb, 0, sb.length);
                break;
            default: byte[] d = new byte[r.nextInt(100)];
                r.nextBytes(d);
                s.write(d, 0, d.length);
            }
        }
        byte[] b = s.toByteArray();
        for (int m = r.nextInt(4); m-- > 0 && b.length > 0; )
            b[r.nextInt(b.length)] = (byte) r.nextInt(256);
        return b;
    }
}
