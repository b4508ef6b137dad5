// The bench's control line: what the guest's tests ask of the host, one command a line, one answer each.
package ruvek.guest;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.channels.Channels;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The commands, each answered "ok ..." or "error WHY":
 * <pre>
 *   mode PORT sink|echo|keep   what the far end of PORT (s1, s3, usb) does with what arrives
 *   relay A B                  A's far end sends on to B's, and B's to A's: a null-modem
 *   send PORT HEX              the far end sends these bytes
 *   break PORT                 the far end sends a break (s3 alone, which speaks telnet)
 *   took PORT                  "ok COUNT CRC32 [HEX]": what arrived since the last ask
 *   unplug / replug            the adapter leaves the guest's USB bus, or a new one comes
 *   trace on|off               QEMU's trace of the UARTs' register writes
 *   breaks                     "ok MS...": how long each break the trace saw was held
 *   chip uart|usb              "ok RATE": the rate the emulated 8250 or FT232 was last set to run at
 *   modem usb                  "ok [-]dtr [-]rts": the adapter's DTR and RTS as the driver last set them on the chip
 *   remote ...                 the host's RFC 2217 client ({@link Remote})
 * </pre>
 */
final class Control extends Thread {
    private static final Pattern LCR_WRITE = Pattern.compile("@(\\d+\\.\\d+):serial_write write addr 0x03 val 0x([0-9a-f]{2})");

    private final Bench bench;
    private final SocketChannel channel;
    private long traceFrom; // where the log stood when the trace was turned on

    Control(Bench bench, SocketChannel channel) {
        super("bench control");
        this.bench = bench;
        this.channel = channel;
    }

    @Override
    public void run() {
        try (BufferedReader in = new BufferedReader(new InputStreamReader(Channels.newInputStream(channel),
                StandardCharsets.US_ASCII)); OutputStream out = Channels.newOutputStream(channel)) {
            for (String line; (line = in.readLine()) != null; ) {
                line = line.replace("\r", "").trim();
                if (line.isEmpty())
                    continue;
                String answer;
                try {
                    answer = answer(line.split(" "));
                } catch (RuntimeException | IOException e) {
                    answer = "error " + e;
                }
                out.write((answer + "\n").getBytes(StandardCharsets.US_ASCII));
                out.flush();
            }
        } catch (IOException e) {
            // the guest has powered off
        }
    }

    private String answer(String[] w) throws IOException {
        switch (w[0]) {
        case "mode":
            end(w[1]).mode(FarEnd.Mode.valueOf(w[2].toUpperCase()), null);
            return "ok";
        case "relay":
            end(w[1]).mode(FarEnd.Mode.RELAY, end(w[2]));
            end(w[2]).mode(FarEnd.Mode.RELAY, end(w[1]));
            return "ok";
        case "send":
            end(w[1]).send(hex(w[2]));
            return "ok";
        case "break":
            return end(w[1]).sendBreak() ? "ok" : "error only s3 speaks telnet, and so can send a break";
        case "took":
            return "ok " + end(w[1]).took();
        case "unplug": {
            String why = bench.unplug();
            return why == null ? "ok" : "error " + why;
        }
        case "replug": {
            String why = bench.replug();
            return why == null ? "ok" : "error " + why;
        }
        case "trace": {
            if (w[1].equals("on"))
                traceFrom = Files.exists(bench.work.resolve("qemu.log")) ? Files.size(bench.work.resolve("qemu.log")) : 0;
            String said = bench.monitor.command("trace-event serial_write " + w[1]);
            return said.isBlank() ? "ok" : "error " + said;
        }
        case "breaks":
            return "ok" + breaks();
        case "chip":
            return "ok " + chipRate(w[1]);
        case "modem":
            return "ok " + adapterModem();
        case "remote":
            try {
                return bench.remote.answer(w);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return "error interrupted";
            }
        default:
            return "error unknown command " + w[0];
        }
    }

    private FarEnd end(String port) {
        FarEnd e = bench.ends.get(port);
        if (e == null)
            throw new IllegalArgumentException("no far end " + port);
        return e;
    }

    private static byte[] hex(String s) {
        byte[] b = new byte[s.length() / 2];
        for (int i = 0; i < b.length; i++)
            b[i] = (byte) Integer.parseInt(s.substring(2 * i, 2 * i + 2), 16);
        return b;
    }

    private static final Pattern UART_RATE = Pattern.compile("serial_update_parameters baudrate=(\\d+)");
    private static final Pattern USB_RATE = Pattern.compile("usb_serial_set_baud dev \\S+ baud rate (\\d+)");

    /** What QEMU's trace last said the chip runs at; -1 when it said nothing. */
    private String chipRate(String chip) throws IOException {
        Matcher m = (chip.equals("uart") ? UART_RATE : USB_RATE).matcher(Files.readString(bench.work.resolve("qemu.log")));
        String rate = "-1";
        while (m.find())
            rate = m.group(1);
        return rate;
    }

    /** FTDI's SET_MODEM_CTRL (vendor request 1): bits 0 and 1 are DTR and RTS, bits 8 and 9 say which of them it sets. */
    private static final Pattern MODEM_CTRL = Pattern.compile("usb_serial_handle_control.*?0x4001\\D+0x([0-9a-f]+)");

    /** DTR and RTS as the adapter's driver last set them, from the chip's trace; both are low after a reset. */
    private String adapterModem() throws IOException {
        Matcher m = MODEM_CTRL.matcher(Files.readString(bench.work.resolve("qemu.log")));
        int lines = 0;
        while (m.find()) {
            int v = Integer.parseInt(m.group(1), 16);
            int mask = v >> 8 & 3;
            lines = lines & ~mask | v & mask;
        }
        return ((lines & 1) != 0 ? "dtr" : "-dtr") + " " + ((lines & 2) != 0 ? "rts" : "-rts");
    }

    /** The lengths, in ms, of the breaks in the trace since it was turned on: LCR's bit 6 set, then cleared. */
    private String breaks() throws IOException {
        byte[] log = Files.readAllBytes(bench.work.resolve("qemu.log"));
        String since = new String(log, (int) Math.min(traceFrom, log.length), (int) (log.length - Math.min(traceFrom, log.length)),
                StandardCharsets.US_ASCII);
        Matcher m = LCR_WRITE.matcher(since);
        List<String> lengths = new ArrayList<>();
        double began = -1;
        while (m.find()) {
            double at = Double.parseDouble(m.group(1));
            boolean inBreak = (Integer.parseInt(m.group(2), 16) & 0x40) != 0;
            if (inBreak && began < 0)
                began = at;
            else if (!inBreak && began >= 0) {
                lengths.add(String.valueOf(Math.round((at - began) * 1000)));
                began = -1;
            }
        }
        return lengths.isEmpty() ? "" : " " + String.join(" ", lengths);
    }
}
