// Every line format on the 8250 and ftdi_sio: what the driver keeps is what settings() and stty say, and a refusal changes nothing.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;
import ruvek.LineSettings;
import ruvek.LineSettings.FlowControl;
import ruvek.LineSettings.Parity;
import ruvek.LineSettings.StopBits;
import ruvek.SerialLine;
import ruvek.UnsupportedSettingsException;

class FormatsTest {
    /** The stty words that settings s stand for. */
    static List<String> words(LineSettings s) {
        List<String> w = new ArrayList<>();
        w.add("cs" + s.dataBits());
        Parity p = s.parity();
        w.add(p == Parity.NONE ? "-parenb" : "parenb");
        if (p != Parity.NONE) {
            w.add(p == Parity.ODD || p == Parity.MARK ? "parodd" : "-parodd");
            w.add(p == Parity.MARK || p == Parity.SPACE ? "cmspar" : "-cmspar");
        }
        w.add(s.stopBits() == StopBits.ONE ? "-cstopb" : "cstopb");
        w.add(s.flowControl() == FlowControl.RTS_CTS ? "crtscts" : "-crtscts");
        w.add(s.flowControl() == FlowControl.XON_XOFF ? "ixon" : "-ixon");
        w.add(s.flowControl() == FlowControl.XON_XOFF ? "ixoff" : "-ixoff");
        w.add("speed " + s.baud() + " baud");
        return w;
    }

    /** What the kernel holds, from a second process: every word of s but the rate, which stty checks once. */
    static void kernelHolds(Rig.Watcher kernel, LineSettings s) throws Exception {
        String now = kernel.now();
        for (String w : words(s))
            if (!w.startsWith("speed "))
                assertTrue(now.contains(" " + w + " "), s + ": the kernel lacks " + w + ": " + now);
    }

    static void sttySays(String device, LineSettings s) throws Exception {
        String stty = Rig.stty(device);
        for (String w : words(s))
            assertTrue(stty.contains(" " + w + " ") || stty.contains(" " + w + ";"), s + ": stty lacks " + w + ": " + stty);
    }

    /** Tries all 180 combinations; returns those refused, each as "FORMAT FLOW: field". */
    static List<String> everyFormat(String device) throws Exception {
        List<String> refused = new ArrayList<>();
        try (SerialLine line = SerialLine.open(device, 19200); Rig.Watcher kernel = new Rig.Watcher(device)) {
            LineSettings kept = line.settings();
            sttySays(device, kept);
            for (int bits = 5; bits <= 8; bits++)
                for (Parity p : Parity.values())
                    for (StopBits stop : StopBits.values())
                        for (FlowControl flow : FlowControl.values()) {
                            LineSettings s = LineSettings.of(19200).withDataBits(bits).withParity(p).withStopBits(stop)
                                    .withFlowControl(flow);
                            try {
                                line.setSettings(s);
                                assertEquals(s, line.settings(), "read back");
                                kernelHolds(kernel, s);
                                kept = s;
                            } catch (UnsupportedSettingsException e) {
                                assertNotNull(e.field(), s + ": a refusal names no field");
                                refused.add(s + ": " + e.field());
                                assertEquals(kept, line.settings(), s + ": the refusal changed the line");
                                kernelHolds(kernel, kept);
                            }
                        }
            sttySays(device, kept);
        }
        return refused;
    }

    /** 1.5 stop bits go with 5 data bits alone, 2 never do: termios has one bit for both. */
    static boolean termiosRefuses(String format) {
        return format.matches("19200 5.2,.*") || format.matches("19200 [678].1\\.5,.*");
    }

    @Test
    void the8250KeepsEveryFormatTermiosHas() throws Exception {
        List<String> refused = everyFormat(Rig.UART);
        for (String r : refused)
            assertTrue(r.endsWith(": stop bits") && termiosRefuses(r), "the 8250 refused " + r);
        assertEquals(60, refused.size(), "refused: " + refused);
    }

    @Test
    void ftdiSioKeepsEveryFormatButSixDataBitsAndNamesThatField() throws Exception {
        List<String> refused = everyFormat(Rig.ADAPTER);
        for (String r : refused)
            assertTrue(r.endsWith(": stop bits") && termiosRefuses(r) || r.startsWith("19200 6") && r.endsWith(": data bits"),
                    "ftdi_sio refused " + r);
        assertTrue(refused.stream().filter(r -> r.startsWith("19200 6")).count() >= 30, "6 data bits taken: " + refused);
        // Refused at open: the field and the format asked, and nothing open.
        UnsupportedSettingsException e = org.junit.jupiter.api.Assertions.assertThrows(UnsupportedSettingsException.class,
                () -> SerialLine.open(Rig.ADAPTER, LineSettings.of(9600).withFormat("6E1")));
        assertEquals("data bits", e.field());
        assertTrue(e.getMessage().contains("the driver refused data bits 6"), e.getMessage());
        SerialLine.open(Rig.ADAPTER, 9600).close();
    }

    /**
     * Rates that no constant names: what the UART runs at is what settings()
     * reads back, or the rate is refused by name. The 8250's divisor of 115200
     * makes 31250 into 28800; the FT232's fractional one makes all three.
     */
    @Test
    void nonStandardRatesAreKeptTruthfullyOrRefused() throws Exception {
        // The control line first: its own setup would be the chips' last change otherwise.
        Rig.ask("mode s1 sink");
        for (String device : new String[] {Rig.UART, Rig.ADAPTER})
            try (SerialLine line = SerialLine.open(device, 9600)) {
                for (int rate : new int[] {31250, 250000, 1000000, 76800, 100}) {
                    LineSettings before = line.settings();
                    try {
                        line.setSettings(LineSettings.of(rate));
                        int now = line.settings().baud();
                        System.out.println(device + ": " + rate + " baud runs at " + now);
                        assertTrue(Math.abs(now - rate) <= rate * 3 / 100, device + ": " + rate + " runs at " + now);
                        assertEquals(now + "", Rig.chipRate(device), device + ": the emulated chip runs otherwise");
                    } catch (UnsupportedSettingsException e) {
                        System.out.println(device + ": " + rate + " baud refused: " + e.getMessage());
                        assertEquals("baud", e.field());
                        assertEquals(before, line.settings());
                    }
                }
            }
    }
}
