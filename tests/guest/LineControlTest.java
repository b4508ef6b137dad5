// Modem lines, break, flow control, purge and close on the 8250 and ftdi_sio: what a pty never showed.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.LineSettings;
import ruvek.LineSettings.FlowControl;
import ruvek.NoSuchPortException;
import ruvek.SerialLine;

@SuppressWarnings("try") // a Loop is held for its effect alone
class LineControlTest {
    @Test
    void dtrAndRtsComeBackAsDsrAndCtsInTheUartsLoopback() throws Exception {
        try (Loop loop = new Loop(Rig.UART); SerialLine line = SerialLine.open(Rig.UART, 9600)) {
            assertFalse(line.isDSR() || line.isCTS(), "DTR and RTS are off at open");
            line.setDTR(true);
            assertTrue(line.isDSR() && !line.isCTS());
            line.setRTS(true);
            assertTrue(line.isDSR() && line.isCTS());
            line.setDTR(false);
            assertTrue(!line.isDSR() && line.isCTS());
            line.setRTS(false);
            assertFalse(line.isDSR() || line.isCTS());
        }
    }

    /** Under RTS/CTS, RTS is the flow control's: raised, so that a peer with the same handshake may send. */
    @Test
    void underRtsCtsTheLineRaisesRtsAndBytesFlowInTheLoopback() throws Exception {
        LineSettings rtscts = LineSettings.of(115200).withFlowControl(FlowControl.RTS_CTS);
        try (Loop loop = new Loop(Rig.UART); SerialLine line = SerialLine.open(Rig.UART, rtscts)) {
            assertTrue(line.isCTS(), "RTS is low under RTS/CTS");
            byte[] sent = "8 bytes!".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
            line.setReadTimeout((int) Rig.PATIENCE_MS);
            line.getOutputStream().write(sent);
            byte[] got = new byte[sent.length];
            for (int n = 0; n < got.length; )
                n += line.getInputStream().read(got, n, got.length - n);
            assertArrayEquals(sent, got);
        }
    }

    @Test
    void theAdaptersModemLinesAnswer() throws Exception {
        try (SerialLine line = SerialLine.open(Rig.ADAPTER, 9600)) {
            line.setDTR(true);
            line.setRTS(true);
            line.isCTS();
            line.isDSR();
            line.isRI();
            line.isDCD();
            line.setDTR(false);
            line.setRTS(false);
        }
    }

    /** QEMU keeps an outgoing break from its chardev, but its trace shows the UART's break bit and how long it was set. */
    @Test
    void aBreakHoldsTheUartsBreakBitForTheTimeAsked() throws Exception {
        try (SerialLine line = SerialLine.open(Rig.UART, 9600)) {
            Rig.ask("trace on");
            line.sendBreak(250);
            Rig.ask("trace off");
            String[] held = Rig.ask("breaks").trim().split(" ");
            assertEquals(1, held.length, "breaks seen: " + String.join(",", held));
            int ms = Integer.parseInt(held[0]);
            System.out.println("a break of 250 ms held the UART's break bit for " + ms + " ms");
            assertTrue(ms >= 240 && ms < 2000, "the break bit was held for " + ms + " ms");
        }
    }

    @Test
    void aBreakFromTheFarEndArrivesAsAZeroByte() throws Exception {
        try (SerialLine line = SerialLine.open(Rig.TELNET_UART, 9600)) {
            line.setReadTimeout((int) Rig.PATIENCE_MS);
            Rig.ask("break s3");
            assertEquals(0, line.getInputStream().read());
        }
    }

    /**
     * The far end stopped the line with XOFF: close drops what it holds
     * instead of waiting the driver's 30 s. On the 8250 only: QEMU's FT232
     * keeps no flow control, and ftdi_sio leaves XON/XOFF to the chip.
     */
    @Test
    void closeReturnsAtOnceWhenTheFarEndHasStoppedTheLine() throws Exception {
        for (String device : new String[] {Rig.UART}) {
            String far = "s1";
            Rig.ask("mode " + far + " sink");
            SerialLine line = SerialLine.open(device, LineSettings.of(9600).withFlowControl(FlowControl.XON_XOFF));
            Rig.ask("send " + far + " 13");
            Thread.sleep(500);
            assertEquals(0, line.getInputStream().available(), "the XOFF was taken as data");
            line.getOutputStream().write(new byte[200]); // taken by the driver, which can't send it
            long start = System.nanoTime();
            line.close();
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            System.out.println("close on " + device + " after XOFF: " + ms + " ms");
            assertTrue(ms < 5000, device + ": close took " + ms + " ms");
            // The next open starts with the flow going.
            try (SerialLine again = SerialLine.open(device, 9600)) {
                again.getOutputStream().write('k');
                again.drain();
            }
        }
    }

    /**
     * ftdi_sio turns low latency into the adapter's latency timer of 1 ms,
     * and back to what the adapter had (16 ms on a real FT232; QEMU's says 0).
     */
    @Test
    void lowLatencyTakesTheAdaptersLatencyTimerToOneMillisecondAndBack() throws Exception {
        java.nio.file.Path timer = java.nio.file.Path.of("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
        try (SerialLine line = SerialLine.open(Rig.ADAPTER, 115200)) {
            String was = java.nio.file.Files.readString(timer).trim();
            assertFalse(line.settings().lowLatency());
            line.setSettings(LineSettings.of(115200).withLowLatency(true));
            assertTrue(line.settings().lowLatency());
            assertEquals("1", java.nio.file.Files.readString(timer).trim());
            line.setSettings(LineSettings.of(115200));
            assertFalse(line.settings().lowLatency());
            assertEquals(was, java.nio.file.Files.readString(timer).trim());
        }
    }

    /** Neither QEMU's 8250 nor its FT232 has RS-485: refused by name, the line as it was. */
    @Test
    void rs485IsRefusedByNameWhereTheDriverHasNone() throws Exception {
        for (String device : new String[] {Rig.UART, Rig.ADAPTER})
            try (SerialLine line = SerialLine.open(device, LineSettings.of(9600).withFormat("7E1"))) {
                ruvek.UnsupportedSettingsException e = assertThrows(ruvek.UnsupportedSettingsException.class,
                        () -> line.setSettings(LineSettings.of(9600).withRs485(true)));
                assertEquals("RS-485", e.field(), device);
                assertEquals(LineSettings.of(9600).withFormat("7E1"), line.settings(), device);
            }
        // The 8250 keeps the low-latency flag, on which its driver no longer acts.
        try (SerialLine line = SerialLine.open(Rig.UART, LineSettings.of(9600).withLowLatency(true))) {
            assertTrue(line.settings().lowLatency());
        }
    }

    /** The kernel makes ttyS4 with no UART behind it: by path or as COM5, one exception, one reason. */
    @Test
    void aTtyWithNoUartIsNoSuchPortByPathAndByNumberAlike() throws Exception {
        assertTrue(Rig.present("/dev/ttyS4"), "the guest has no ttyS4");
        NoSuchPortException byPath = assertThrows(NoSuchPortException.class, () -> SerialLine.open("/dev/ttyS4", 9600));
        NoSuchPortException byNumber = assertThrows(NoSuchPortException.class, () -> SerialLine.open(5, 9600));
        assertEquals("/dev/ttyS4: no such port; no UART behind it", byPath.getMessage());
        assertEquals("COM5 (/dev/ttyS4): no such port; no UART behind it", byNumber.getMessage());
    }

    /** What another program left set is no line's: open sets every field it promises, flow control too. */
    @Test
    void openSetsEveryFieldWhateverAnotherProgramLeft() throws Exception {
        Rig.run("stty", "-F", Rig.UART, "crtscts", "ixon", "cs7", "parenb", "cstopb");
        try (SerialLine line = SerialLine.open(Rig.UART, 9600)) {
            assertEquals(LineSettings.of(9600), line.settings());
            String stty = Rig.stty(Rig.UART);
            for (String off : new String[] {" -crtscts ", " -ixon ", " cs8 ", " -parenb ", " -cstopb "})
                assertTrue(stty.contains(off), off + " missing: " + stty);
        }
    }

    /** Bytes read ahead of the caller go with a purge: none counts as waiting, and the next read gets what comes next. */
    @Test
    void aPurgeAfterTheLineHasReadAheadLeavesNothingWaiting() throws Exception {
        try (SerialLine line = SerialLine.open(Rig.UART, 115200)) {
            StringBuilder hex = new StringBuilder();
            for (int i = 0; i < 2000; i++)
                hex.append("61");
            Rig.ask("send s1 " + hex);
            assertTrue(Rig.waitFor(() -> line.getInputStream().available() >= 2000), "the bytes never came");
            assertEquals('a', line.getInputStream().read());
            line.purgeInput();
            assertEquals(0, line.getInputStream().available());
            Rig.ask("send s1 7a");
            line.setReadTimeout((int) Rig.PATIENCE_MS);
            long start = System.nanoTime();
            assertEquals('z', line.getInputStream().read());
            assertTrue(TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start) < Rig.PATIENCE_MS / 2);
        }
    }
}
