// What a wait's packed answer becomes for a listener: each event type, in order, levels told only as they change.
package ruvek;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import ruvek.LineEvent.Type;

class LineEventsDecodeTest {
    static final int LINES = LineNatives.EV_CTS | LineNatives.EV_DSR | LineNatives.EV_RING | LineNatives.EV_RLSD;

    /** An answer as the natives pack it: events, the lines' levels (MS_ bits over 16), errors, bytes waiting. */
    static long answer(int events, int levels, int errors, long waiting) {
        return events | (long) levels << 16 | (long) errors << 20 | waiting << 32;
    }

    static String told(Set<Type> types, int levels, long r) {
        return LineEvents.decode(null, types, LineEvents.maskOf(types), levels, r).stream().map(LineEvent::toString)
                .collect(Collectors.joining(", "));
    }

    @Test
    void everyTypeComesOutOfItsBitsInTheOrderTheyAreTold() {
        Set<Type> all = EnumSet.allOf(Type.class);
        long r = answer(LineNatives.EV_RXCHAR | LINES | LineNatives.EV_BREAK | LineNatives.EV_ERR, 0xF,
                LineNatives.CE_FRAME | LineNatives.CE_RXPARITY | LineNatives.CE_OVERRUN, 7);
        assertEquals("CTS on, DSR on, RI on, DCD on, BREAK, FRAMING_ERROR, PARITY_ERROR, OVERRUN_ERROR,"
                + " DATA_AVAILABLE (7 bytes)", told(all, 0, r));
        // A break that only the errors report is a break too.
        assertEquals("BREAK", told(EnumSet.of(Type.BREAK), 0, answer(LineNatives.EV_ERR, 0, LineNatives.CE_BREAK, 0)));
        // Data told with nothing waiting any more (another reader took it) is not told.
        assertEquals("", told(EnumSet.of(Type.DATA_AVAILABLE), 0, answer(LineNatives.EV_RXCHAR, 0, 0, 0)));
    }

    @Test
    void levelsAreToldOnlyAsTheyChangeAndOnlyTheTypesAskedFor() {
        Set<Type> cd = EnumSet.of(Type.CTS, Type.DCD);
        // CTS was on, DCD off; now CTS off and DCD on: both told, with their levels now.
        assertEquals("CTS off, DCD on", told(cd, 0x1, answer(LineNatives.EV_CTS, 0x8, 0, 0)));
        // Merged changes that came back to where they were: nothing, never a level the line didn't take.
        assertEquals("", told(cd, 0x9, answer(LineNatives.EV_CTS | LineNatives.EV_RLSD, 0x9, 0, 0)));
        // DSR changed but was not asked for; errors not asked for are not told.
        assertEquals("", told(cd, 0, answer(LineNatives.EV_DSR | LineNatives.EV_ERR, 0x2, LineNatives.CE_FRAME, 3)));
        List<LineEvent> ri = LineEvents.decode(null, EnumSet.of(Type.RI), LineEvents.maskOf(EnumSet.of(Type.RI)), 0,
                answer(LineNatives.EV_RING, 0x4, 0, 0));
        assertEquals(1, ri.size());
        assertEquals(Type.RI, ri.get(0).type());
        assertEquals(true, ri.get(0).isOn());
    }

    @Test
    void eachTypeAsksTheNativesForItsOwnEvent() {
        assertEquals(LineNatives.EV_RXCHAR, LineEvents.maskOf(EnumSet.of(Type.DATA_AVAILABLE, Type.MESSAGE)));
        assertEquals(LineNatives.EV_ERR, LineEvents.maskOf(EnumSet.of(Type.FRAMING_ERROR, Type.OVERRUN_ERROR)));
        assertEquals(LineNatives.EV_ERR, LineEvents.maskOf(EnumSet.of(Type.DEVICE_GONE)), "the device's going ends any wait");
        assertEquals(LINES | LineNatives.EV_BREAK | LineNatives.EV_TXEMPTY,
                LineEvents.maskOf(EnumSet.of(Type.CTS, Type.DSR, Type.RI, Type.DCD, Type.BREAK, Type.OUTPUT_EMPTY)));
    }
}
