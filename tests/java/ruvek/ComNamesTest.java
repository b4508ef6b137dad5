// Which device names open by number: COMn and \\.\COMn, on every system.
package ruvek;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

class ComNamesTest {
    @Test
    void comNamesInAnyCaseWithOrWithoutTheirPrefixGiveTheirNumberAndNothingElseDoes() {
        assertEquals(1, LineOpening.comNumber("COM1"));
        assertEquals(12, LineOpening.comNumber("com12"));
        assertEquals(3, LineOpening.comNumber("\\\\.\\CoM3"));
        assertEquals(4_294_967_295L, LineOpening.comNumber("COM4294967295")); // ten digits: too big for a port, said later
        for (String other : new String[] {"COM", "COM0", "COM01", "COM1x", "COM-1", "COM12345678901", "XCOM1",
                "\\\\.\\", "\\\\.\\COM", "\\\\?\\COM1", "/dev/ttyS0", "COM\u0661", "C0M1", "COM1 "})
            assertEquals(-1, LineOpening.comNumber(other), other);
    }
}
