// rfc2217:// end to end: Debian's ser2net in the guest on ftdi_sio and the 8250, the client on the host.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The host's client is the bench's ({@link Remote}); each step it takes is
 * checked here, where the drivers are: the settings in stty and in QEMU's
 * emulated chip, DTR and RTS in the driver's modem bits, the bytes at the
 * far end, and an unplug seen by the client as a dropped line.
 */
class Rfc2217Test {
    static final String SER2NET = "/usr/sbin/ser2net";
    static final Path DIR = Path.of("/tmp/ser2net");
    static Process ser2net;

    @BeforeAll
    static void serve() throws Exception {
        Assumptions.assumeTrue(new File(SER2NET).canExecute(), "ser2net is not installed (Debian's package ser2net)");
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "no adapter came");
        Files.createDirectories(DIR);
        Path config = DIR.resolve("ser2net.yaml");
        StringBuilder yaml = new StringBuilder();
        String[][] served = {{"usb", Rig.ADAPTER}, {"uart", Rig.UART}};
        for (String[] s : served)
            yaml.append("connection: &").append(s[0]).append("\n  accepter: telnet(rfc2217),tcp,")
                    .append(Remote.GUEST_PORTS.get(s[0])).append("\n  connector: serialdev,").append(s[1])
                    .append(",9600n81,local\n");
        Files.writeString(config, yaml);
        ser2net = new ProcessBuilder(SER2NET, "-n", "-d", "-u", "-c", config.toString()).redirectErrorStream(true)
                .redirectOutput(DIR.resolve("ser2net.log").toFile()).start();
        // Listening on both: /proc/net/tcp's LISTEN rows, by port in hex.
        assertTrue(Rig.waitFor(() -> {
            if (!ser2net.isAlive())
                throw new AssertionError("ser2net ended: " + Files.readString(DIR.resolve("ser2net.log")));
            String tcp = Files.readString(Path.of("/proc/net/tcp")) + Files.readString(Path.of("/proc/net/tcp6"));
            return Remote.GUEST_PORTS.values().stream()
                    .allMatch(p -> tcp.matches("(?s).*:" + String.format("%04X", p) + " [0-9A-F:]+ 0A .*"));
        }), "ser2net never listened");
    }

    @AfterAll
    static void stop() throws Exception {
        if (ser2net != null) {
            ser2net.destroyForcibly().waitFor();
            System.out.println("ser2net said: " + Files.readString(DIR.resolve("ser2net.log")).trim());
        }
    }

    @BeforeEach
    void plugged() throws Exception {
        if (!Rig.present(Rig.ADAPTER))
            Rig.ask("replug");
        assertTrue(Rig.waitFor(() -> Rig.present(Rig.ADAPTER)), "no adapter came");
    }

    @AfterEach
    void closed() throws Exception {
        Rig.ask("remote close usb");
        Rig.ask("remote close uart");
        Rig.ask("mode usb sink");
        Rig.ask("mode s1 sink");
    }

    @Test
    void theAdapterTakesEverySettingAndCarriesBytesBothWays() throws Exception {
        walk("usb", Rig.ADAPTER);
    }

    @Test
    void theUartTakesEverySettingAndCarriesBytesBothWays() throws Exception {
        walk("uart", Rig.UART);
    }

    /** Settings, flow control, DTR and RTS through the server, each checked in the guest's driver; then bytes. */
    static void walk(String which, String device) throws Exception {
        Rig.ask("mode " + (which.equals("usb") ? "usb" : "s1") + " echo");
        String confirmed = Rig.ask("remote open " + which + " 7E1 19200");
        assertTrue(confirmed.startsWith("19200 7E1"), confirmed);
        String stty = Rig.stty(device);
        for (String s : new String[] {" speed 19200 baud;", " cs7 ", " parenb ", " -parodd ", " -cstopb "})
            assertTrue(stty.contains(s), "no '" + s.trim() + "' in the guest's stty: " + stty);
        assertRate(19200, device);

        confirmed = Rig.ask("remote set " + which + " 8O2 57600");
        assertTrue(confirmed.startsWith("57600 8O2"), confirmed);
        stty = Rig.stty(device);
        for (String s : new String[] {" speed 57600 baud;", " cs8 ", " parenb ", " parodd ", " cstopb "})
            assertTrue(stty.contains(s), "no '" + s.trim() + "' in the guest's stty: " + stty);
        assertRate(57600, device);

        assertTrue(Rig.ask("remote flow " + which + " RTS_CTS").endsWith("flow control RTS_CTS"));
        assertTrue(Rig.stty(device).contains(" crtscts "), Rig.stty(device));
        assertTrue(Rig.ask("remote flow " + which + " NONE").endsWith("flow control NONE"));
        assertTrue(Rig.stty(device).contains(" -crtscts "), Rig.stty(device));

        Rig.ask("remote lines " + which + " 0 1");
        assertTrue(Rig.waitFor(() -> modemBits(device).equals("-dtr rts")), modemBits(device));
        Rig.ask("remote lines " + which + " 1 0");
        assertTrue(Rig.waitFor(() -> modemBits(device).equals("dtr -rts")), modemBits(device));

        // 8N1, for bytes of every value: through ser2net, the driver and back from the far end.
        assertTrue(Rig.ask("remote set " + which + " 8N1 115200").startsWith("115200 8N1"));
        Rig.ask("remote echo " + which + " 65536 7");
    }

    /** The chip runs at the rate within 1%: an FT232's divisor gives 57553 for 57600. */
    static void assertRate(int rate, String device) throws Exception {
        int chip = Integer.parseInt(Rig.chipRate(device));
        assertTrue(Math.abs(chip - rate) <= rate / 100, "the emulated chip runs at " + chip + ", not " + rate);
    }

    /** Pulled out under an open line: the host's client sees the line drop. */
    @Test
    void anUnplugInTheGuestIsADisconnectAtTheClient() throws Exception {
        Rig.ask("mode usb sink");
        Rig.ask("remote open usb 8N1 115200");
        Rig.ask("remote lines usb 1 1");
        Rig.ask("unplug");
        String ms = Rig.ask("remote gone usb");
        System.out.println("the client saw the unplug after " + ms + " ms");
    }

    /**
     * DTR and RTS as the driver holds them, read without opening the device:
     * any open raises both. The 8250's are in the serial driver's report;
     * the adapter's in what its driver last sent the emulated chip.
     */
    static String modemBits(String device) throws Exception {
        if (device.equals(Rig.ADAPTER))
            return Rig.ask("modem usb");
        String index = device.substring("/dev/ttyS".length()) + ":";
        for (String row : Files.readAllLines(Path.of("/proc/tty/driver/serial")))
            if (row.startsWith(index)) {
                List<String> said = List.of(row.split("[ |]"));
                return (said.contains("DTR") ? "dtr" : "-dtr") + " " + (said.contains("RTS") ? "rts" : "-rts");
            }
        throw new AssertionError("the serial driver reports no " + device);
    }
}
