// What the natives pack of a driver's settings, as Java reads it back.
package ruvek;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;

/** A driver's report that no settings match never becomes a null: the error says what it answered. */
class SettingsReportTest {
    static long packed(long baud, long bits, long parity, long stop, long flow, long options) {
        return baud | bits << 32 | parity << 40 | stop << 48 | flow << 56 | options << 60;
    }

    @Test
    void everyFieldAndOptionUnpacksAndAReportNoLineHasIsNamedFieldByField() {
        assertEquals(LineSettings.of(9600).withFormat("7E2").withFlowControl(LineSettings.FlowControl.XON_XOFF)
                .withLowLatency(true).withRs485(true), LineSettings.unpack(packed(9600, 7, 2, 2, 2, 3)));
        long odd = packed(9600, 6, 8, 0, 0, 0); // a parity of 8, as Wine answered once
        assertNull(LineSettings.unpack(odd));
        assertEquals("9600 baud, 6 data bits, parity 8, stop bits 0, flow 0, options 0", LineSettings.describe(odd));
        assertNull(LineSettings.unpack(packed(9600, 8, 0, 0, 1, 2)), "RS-485 with RTS/CTS");
        assertNull(LineSettings.unpack(packed(0, 8, 0, 0, 0, 0)));
    }
}
