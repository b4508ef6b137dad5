// The Windows port listing, parsed from reg query's output.
package ruvek;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.List;
import org.junit.jupiter.api.Test;

/** The Windows listing, from what reg query prints for the SERIALCOMM key. */
class WindowsListingTest {
    @Test
    void portsComeFromTheRegistryValuesInNumberOrder() {
        String output = "\r\nHKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM\r\n"
                + "    \\Device\\VCP0    REG_SZ    COM12\r\n"
                + "    \\Device\\Serial0    REG_SZ    COM1\r\n"
                + "    \\Device\\Odd    REG_DWORD    0x1\r\n"
                + "    \\Device\\Modem    REG_SZ    MODEM\r\n\r\n";
        List<SerialPortInfo> ports = WindowsPorts.parseSerialComm(output);
        assertEquals(2, ports.size());
        assertEquals("COM1 COM1 \\Device\\Serial0", ports.get(0).toString());
        assertEquals(12, ports.get(1).port().getAsInt());
        assertEquals("COM12", ports.get(1).device());
        assertEquals("\\Device\\VCP0", ports.get(1).driver());
    }
}
