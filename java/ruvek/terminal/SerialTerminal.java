// The jar's main class: a small serial terminal over ruvek.SerialLine.
package ruvek.terminal;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.EnumSet;
import ruvek.LineEvent;
import ruvek.LineListener;
import ruvek.LineSettings;
import ruvek.PortWatchListener;
import ruvek.PortWatcher;
import ruvek.SerialLine;
import ruvek.SerialPortException;
import ruvek.SerialPortInfo;
import ruvek.SerialPorts;
import ruvek.internal.Os;

/**
 * A small serial terminal: copies standard input to the port and the port
 * to standard output. At the end of input it keeps listening until the port
 * has been quiet for a while, so that replies still arrive, then closes the
 * port and exits. Typed at a tty, each key goes at once, until the quit key.
 */
public final class SerialTerminal {
    /** The longest linger that still counts in nanoseconds: about 292 years. */
    private static final long MAX_LINGER_MS = Long.MAX_VALUE / 1_000_000L;

    private SerialTerminal() {}

    /**
     * Runs the terminal; {@code --help} shows the arguments.
     *
     * @param args the command line
     * @throws Exception when waiting for the receiver is interrupted
     */
    public static void main(String[] args) throws Exception {
        if (args.length == 1 && (args[0].equals("--help") || args[0].equals("-h"))) {
            System.out.println(About.usage());
            return;
        }
        if (args.length == 1 && args[0].equals("--version")) {
            if (!About.version(System.out, System.err))
                System.exit(1);
            return;
        }
        if (args.length == 1 && args[0].equals("--list")) {
            for (SerialPortInfo info : SerialPorts.list())
                System.out.println(info);
            return;
        }
        if (args.length == 1 && args[0].equals("--watch")) {
            watch();
            return;
        }
        boolean hex = false;
        long lingerMs = 500;
        String format = "8N1";
        LineSettings.FlowControl flow = LineSettings.FlowControl.NONE;
        long breakMs = -1;
        boolean events = false;
        Input.Eol eol = null;
        int i = 0;
        for (; i < args.length && args[i].startsWith("--"); i++) {
            if (args[i].equals("--events")) {
                events = true;
            } else if (args[i].equals("--hex")) {
                hex = true;
            } else if (args[i].equals("--linger") && i + 1 < args.length) {
                Long ms = number(args[++i]);
                if (ms == null || ms < 0) {
                    usageError("bad MS for --linger: " + args[i] + " (a whole number of milliseconds, 0 or more)");
                }
                lingerMs = Math.min(ms, MAX_LINGER_MS);
            } else if (args[i].equals("--settings") && i + 1 < args.length) {
                format = args[++i];
                try {
                    LineSettings.of(1).withFormat(format);
                } catch (IllegalArgumentException e) {
                    usageError("bad FORMAT for --settings: " + format + " (data bits, parity and stop bits, such as 7E1)");
                }
            } else if (args[i].equals("--flow") && i + 1 < args.length) {
                String f = args[++i];
                flow = f.equals("none") ? LineSettings.FlowControl.NONE : f.equals("rtscts") ? LineSettings.FlowControl.RTS_CTS
                        : f.equals("xonxoff") ? LineSettings.FlowControl.XON_XOFF : null;
                if (flow == null) {
                    usageError("bad FLOW for --flow: " + f + " (none, rtscts or xonxoff)");
                }
            } else if (args[i].equals("--eol") && i + 1 < args.length) {
                eol = Input.Eol.of(args[++i]);
                if (eol == null) {
                    usageError("bad EOL for --eol: " + args[i] + " (cr, lf or crlf)");
                }
            } else if (args[i].equals("--break") && i + 1 < args.length) {
                Long ms = number(args[++i]);
                if (ms == null || ms < 0 || ms > Integer.MAX_VALUE) {
                    usageError("bad MS for --break: " + args[i] + " (a whole number of milliseconds, 0 or more)");
                }
                breakMs = ms;
            } else {
                String o = args[i];
                usageError(o.equals("--linger") || o.equals("--break") ? o + " needs MS"
                        : o.equals("--settings") ? "--settings needs FORMAT" : o.equals("--flow") ? "--flow needs FLOW"
                        : o.equals("--eol") ? "--eol needs EOL" : "unknown option: " + o);
            }
        }
        if (args.length - i != 2) {
            usageError(args.length - i > 2 ? "one argument too many: " + args[i + 2]
                    : args.length == i ? "PORT and BAUD are missing" : "BAUD is missing");
        }
        String device = args[i].startsWith("/") || args[i].startsWith("\\\\.\\") ? args[i] : null;
        Integer number = portNumber(args[i]);
        if (number == null && device == null) {
            usageError("bad PORT: " + args[i] + " (a port number such as 7 or COM7, or a device such as /dev/ttyUSB0)");
        }
        Long baud = number(args[i + 1]);
        if (baud == null || baud <= 0 || baud > Integer.MAX_VALUE) {
            usageError("bad BAUD: " + args[i + 1] + " (bits per second, a whole number from 1 to " + Integer.MAX_VALUE + ")");
        }

        SerialLine line;
        try {
            LineSettings settings = LineSettings.of((int) (long) baud).withFormat(format).withFlowControl(flow);
            line = device != null ? SerialLine.open(device, settings) : SerialLine.open(number, settings);
        } catch (IOException e) {
            System.err.println("cannot open " + e.getMessage());
            System.exit(1);
            return;
        } catch (IllegalArgumentException e) {
            System.err.println(e.getMessage());
            System.exit(1);
            return;
        }
        if (breakMs >= 0) {
            try {
                line.sendBreak((int) breakMs);
            } catch (IOException e) {
                line.close();
                System.err.println("cannot send the break: " + e.getMessage());
                System.exit(1);
                return;
            }
        }
        if (events)
            showEvents(line);
        // Piped input is left as it is, so that what it sends stays byte for byte what it holds.
        boolean noInput = stdinIsOurOwnFile();
        RawTty tty = noInput ? null : RawTty.enter();
        if (tty != null || (Os.current() == Os.WINDOWS && System.console() != null))
            banner(line, tty != null);
        Receiver receiver = new Receiver(line, new BufferedOutputStream(System.out), hex);
        receiver.start();
        Input input = new Input(eol, tty != null);
        IOException failed = noInput ? null : input.copy(System.in, line.getOutputStream());
        // Quitting at the keyboard ends now: a device that talks on would keep a linger from ending.
        receiver.finish(input.quit() ? 0 : lingerMs);
        line.close();
        if (tty != null) {
            tty.restore();
            System.err.println(); // the shell's prompt on a line of its own, after the device's last bytes
        }
        if (failed != null) {
            System.err.println("writing failed: " + failed.getMessage());
            System.exit(1);
        }
    }

    /** Says on standard error, for a person at a terminal, what is open and how to leave. */
    private static void banner(SerialLine line, boolean raw) {
        String settings;
        try {
            settings = line.settings().toString();
        } catch (SerialPortException e) {
            settings = "settings unknown: " + e.getMessage();
        }
        String device = line.device();
        String port = line.port() == SerialLine.NO_PORT ? device
                : device == null || device.equals("COM" + line.port()) ? "COM" + line.port()
                : "COM" + line.port() + " (" + device + ")";
        System.err.println("ruvek terminal on " + port + ", " + settings + "; "
                + (raw ? Input.QUIT_NAME + " quits" : "the end of input (Ctrl-Z, Enter) or Ctrl-C quits"));
        System.err.flush();
    }

    /** Shows the ports as they come and go, until the process is stopped. */
    private static void watch() throws InterruptedException {
        PortWatcher watcher;
        try {
            watcher = SerialPorts.watch(new PortWatchListener() {
                @Override
                public void added(SerialPortInfo port) {
                    System.out.println("+ " + port);
                }

                @Override
                public void removed(SerialPortInfo port) {
                    System.out.println("- " + port);
                }
            });
        } catch (SerialPortException e) {
            System.err.println("cannot watch the ports: " + e.getMessage());
            System.exit(1);
            return;
        }
        System.err.println("watching " + watcher + "; Ctrl-C ends");
        Runtime.getRuntime().addShutdownHook(new Thread(watcher::close));
        Thread.sleep(Long.MAX_VALUE);
    }

    /** Tells the line's events on standard error; without modem lines where the device has none. */
    private static void showEvents(SerialLine line) {
        EnumSet<LineEvent.Type> types = EnumSet.of(LineEvent.Type.CTS, LineEvent.Type.DSR, LineEvent.Type.RI,
                LineEvent.Type.DCD, LineEvent.Type.BREAK, LineEvent.Type.FRAMING_ERROR, LineEvent.Type.PARITY_ERROR,
                LineEvent.Type.OVERRUN_ERROR);
        LineListener show = e -> System.err.println("[" + e + "]");
        try {
            try {
                line.listen(types, show);
                System.err.println("[CTS " + onOff(line.isCTS()) + ", DSR " + onOff(line.isDSR()) + ", RI "
                        + onOff(line.isRI()) + ", DCD " + onOff(line.isDCD()) + "]");
            } catch (SerialPortException noLines) {
                types.removeAll(EnumSet.of(LineEvent.Type.CTS, LineEvent.Type.DSR, LineEvent.Type.RI, LineEvent.Type.DCD));
                line.listen(types, show);
                System.err.println("[no modem lines here: " + noLines.getMessage() + "; breaks and line errors only]");
            }
        } catch (SerialPortException e) {
            System.err.println("[no events: " + e.getMessage() + "]");
        }
    }

    private static String onOff(boolean on) {
        return on ? "on" : "off";
    }

    /**
     * Started with standard input closed, the JVM reuses descriptor 0 for a
     * file of its own (its module image); that is no input to send. Linux
     * shows where descriptor 0 leads; elsewhere this says false.
     */
    private static boolean stdinIsOurOwnFile() {
        try {
            Path target = Files.readSymbolicLink(Paths.get("/proc/self/fd/0"));
            // A native image has no java.home, and no module image to be mistaken for input.
            String home = System.getProperty("java.home");
            return home != null && target.isAbsolute() && target.toRealPath().startsWith(Paths.get(home).toRealPath());
        } catch (IOException | UnsupportedOperationException | SecurityException | InvalidPathException e) {
            return false;
        }
    }

    /** Says what is wrong with the command line, then how to use it, and exits with 2. */
    private static void usageError(String complaint) {
        System.err.println(complaint);
        System.err.println(About.usage());
        System.exit(2);
    }

    /** A port as a number, 7, or by its name, COM7; null for anything else. */
    static Integer portNumber(String arg) {
        Long n = number(arg.regionMatches(true, 0, "COM", 0, 3) ? arg.substring(3) : arg);
        return n == null || n != n.intValue() ? null : n.intValue();
    }

    /** A whole number in ASCII digits, maybe signed; null for anything else (Java also takes other scripts' digits). */
    static Long number(String arg) {
        if (!arg.matches("[+-]?[0-9]+")) {
            return null;
        }
        try {
            return Long.parseLong(arg);
        } catch (NumberFormatException tooLong) {
            return null;
        }
    }
}
