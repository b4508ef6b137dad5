// The guest's side of the bench: what its tests ask of the host, and the tools of the guest they check with.
package ruvek.guest;

import java.io.BufferedReader;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** The control line to the host's bench (ttyS2), and commands run in the guest beside the library. */
final class Rig {
    /** The lines under test, and their drivers. */
    static final String UART = "/dev/ttyS1", TELNET_UART = "/dev/ttyS3", ADAPTER = "/dev/ttyUSB0";
    /** How long a test waits for what must come: the guest runs under emulation. */
    static final long PATIENCE_MS = 30_000;

    private static Rig rig;
    private final BufferedReader in;
    private final FileOutputStream out;

    private Rig() throws IOException {
        String said = run("stty", "-F", "/dev/ttyS2", "raw", "-echo", "-ixon", "115200");
        if (!said.isEmpty())
            throw new IOException("the control line: " + said);
        in = new BufferedReader(new InputStreamReader(new FileInputStream("/dev/ttyS2"), StandardCharsets.US_ASCII));
        out = new FileOutputStream("/dev/ttyS2");
    }

    /** Asks the bench; its answer after "ok", or an error naming what it said. */
    static synchronized String ask(String command) throws IOException {
        if (rig == null)
            rig = new Rig();
        rig.out.write((command + "\n").getBytes(StandardCharsets.US_ASCII));
        rig.out.flush();
        String answer = rig.in.readLine();
        if (answer == null || !(answer.equals("ok") || answer.startsWith("ok ")))
            throw new IOException("the bench, asked '" + command + "', said: " + answer);
        return answer.length() > 3 ? answer.substring(3) : "";
    }

    /** Runs a command of the guest's and returns what it printed, both streams; fails if it fails. */
    static String run(String... command) throws IOException {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        try {
            if (!p.waitFor(PATIENCE_MS, TimeUnit.MILLISECONDS) || p.exitValue() != 0)
                throw new IOException(String.join(" ", command) + " failed: " + out);
        } catch (InterruptedException e) {
            throw new IOException(e);
        }
        return out;
    }

    /** What the driver holds for a line, as stty sees it from a process of its own. */
    static String stty(String device) throws IOException {
        return " " + run("stty", "-F", device, "-a").replace('\n', ' ') + " ";
    }

    /**
     * A second process that reads a device's settings as the kernel holds
     * them, each time it is asked: in stty's words (cs8, -parenb, crtscts,
     * ...), for many more questions than starting stty each time affords.
     */
    static final class Watcher implements AutoCloseable {
        private static final String PROGRAM = String.join("\n",
                "import os, sys, termios",
                "CMSPAR = 0o10000000000 # Linux's, which Python's termios lacks",
                "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)",
                "def w(on, name): return name if on else '-' + name",
                "for _ in sys.stdin:",
                "    i, o, c, l, ispeed, ospeed, cc = termios.tcgetattr(fd)",
                "    size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[c & termios.CSIZE]",
                "    print(' cs%d %s %s %s %s %s %s %s ' % (size, w(c & termios.PARENB, 'parenb'), w(c & termios.PARODD, 'parodd'),",
                "          w(c & CMSPAR, 'cmspar'), w(c & termios.CSTOPB, 'cstopb'), w(c & termios.CRTSCTS, 'crtscts'),",
                "          w(i & termios.IXON, 'ixon'), w(i & termios.IXOFF, 'ixoff')), flush=True)");
        private final Process python;
        private final BufferedReader said;

        Watcher(String device) throws IOException {
            python = python(PROGRAM, device);
            said = new BufferedReader(new InputStreamReader(python.getInputStream(), StandardCharsets.UTF_8));
        }

        /** The settings now, as " cs8 -parenb ... ". */
        String now() throws IOException {
            python.getOutputStream().write('\n');
            python.getOutputStream().flush();
            String line = said.readLine();
            if (line == null || !line.startsWith(" cs"))
                throw new IOException("the watcher said: " + line);
            return line;
        }

        @Override
        public void close() throws IOException {
            end(python);
        }
    }

    /** Ends a helper process by ending its input, and waits for it. */
    static void end(Process p) throws IOException {
        p.getOutputStream().close();
        try {
            p.waitFor();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A Python program run beside the library: the second process that tests need. */
    static Process python(String program, String... args) throws IOException {
        List<String> command = new ArrayList<>(List.of("python3", "-c", program));
        command.addAll(List.of(args));
        return new ProcessBuilder(command).redirectErrorStream(true).start();
    }

    /** Waits until the condition holds; false after PATIENCE_MS. */
    static boolean waitFor(Check c) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MS);
        while (!c.holds()) {
            if (System.nanoTime() > deadline)
                return false;
            Thread.sleep(5);
        }
        return true;
    }

    interface Check {
        boolean holds() throws Exception;
    }

    /** The rate QEMU's emulated chip behind the device was last set to. */
    static String chipRate(String device) throws IOException {
        return ask("chip " + (device.equals(ADAPTER) ? "usb" : "uart"));
    }

    /** Whether the device node is there. */
    static boolean present(String device) {
        return Files.exists(Path.of(device));
    }
}
