// The terminal's usage text, named as it was started, and its --version report.
package ruvek.terminal;

import java.io.File;
import java.io.PrintStream;
import java.net.URL;
import java.security.CodeSource;
import ruvek.SerialLine;
import ruvek.internal.NativeLoader;
import ruvek.internal.Os;

/** What the terminal says about itself. */
final class About {
    private About() {}

    /** The options, each line after the command's. */
    private static final String[] SYNOPSIS = {"[--hex] [--linger MS] [--settings FORMAT] [--flow FLOW]",
        "[--break MS] [--events] [--eol EOL] PORT BAUD"};
    private static final String HELP = "  PORT      port number: 1 or COM1 is COM1; or a device, such as /dev/ttyUSB0 or \\\\.\\COM12\n"
            + "  BAUD      bits per second, e.g. 9600\n"
            + "  --hex     show received bytes as lines of offset, hex and text, 16 bytes a line\n"
            + "  --linger  after the end of input, wait until the port is quiet for MS ms (default 500)\n"
            + "  --settings data bits, parity (N, O, E, M, S) and stop bits, such as 7E1 (default 8N1)\n"
            + "  --flow    flow control: none (the default), rtscts or xonxoff\n"
            + "  --break   send a break of MS ms once the port is open, before the input\n"
            + "  --events  show on standard error the modem lines' changes, breaks and line errors as they come\n"
            + "  --eol     what Enter, or a newline in piped input, sends: cr, lf or crlf (default: as it comes)\n"
            + "  --list    show the serial ports: number, device, driver, USB IDs and names\n"
            + "  --watch   show the serial ports, then each one that comes (+) or goes (-), until stopped\n"
            + "  --version show the version and the native loaded\n"
            + "At a terminal each key is sent as it is typed; " + Input.QUIT_NAME + " quits.";

    /** The usage text, for the command that started this JVM. */
    static String usage() {
        return usage(command());
    }

    static String usage(String command) {
        StringBuilder s = new StringBuilder("usage: ").append(command);
        char[] indent = new char[("usage: " + command).length()];
        java.util.Arrays.fill(indent, ' ');
        for (int k = 0; k < SYNOPSIS.length; k++)
            s.append(k == 0 ? " " : "\n" + new String(indent) + " ").append(SYNOPSIS[k]);
        return s.append("\n       ").append(command).append(" --list | --watch | --help | --version\n").append(HELP)
                .toString();
    }

    /**
     * How this JVM was started, as a command to show: {@code java -jar
     * ruvek.jar} from the jar, {@code java -p ruvek-module.jar -m ruvek} from
     * the module, and with the class's name from a class path.
     */
    static String command() {
        String jar = ourJar();
        if (NativeLoader.moduleName() != null)
            return jar == null ? "java -m ruvek" : "java -p " + jar + " -m ruvek";
        String main = SerialTerminal.class.getName();
        if (jar == null)
            return "java " + main;
        // Under -jar the class path is the jar alone, and the launcher's command begins with it, not with a class.
        String path = System.getProperty("java.class.path", "");
        String launched = System.getProperty("sun.java.command", "");
        if (!path.isEmpty() && (launched.equals(path) || launched.startsWith(path + " ")))
            return "java -jar " + jar;
        return "java -cp " + jar + " " + main;
    }

    /** The name of the jar this class came from, or null when it came from no jar file. */
    private static String ourJar() {
        try {
            CodeSource source = SerialTerminal.class.getProtectionDomain().getCodeSource();
            URL at = source == null ? null : source.getLocation();
            if (at == null || !at.getProtocol().equals("file") || !at.getPath().endsWith(".jar"))
                return null;
            return new File(at.toURI()).getName();
        } catch (SecurityException | java.net.URISyntaxException | IllegalArgumentException e) {
            return null;
        }
    }

    /** The jar manifest's version, else the module descriptor's, which is all a jlink image has. */
    private static String ourVersion() {
        String version = SerialLine.class.getPackage().getImplementationVersion();
        if (version != null)
            return version;
        try {
            Object module = Class.class.getMethod("getModule").invoke(SerialLine.class);
            Object descriptor = module.getClass().getMethod("getDescriptor").invoke(module);
            if (descriptor == null)
                return null; // the class path, with no manifest
            return (String) ((java.util.Optional<?>) descriptor.getClass().getMethod("rawVersion").invoke(descriptor))
                    .orElse(null);
        } catch (ReflectiveOperationException | SecurityException | ClassCastException e) {
            return null; // Java 8: no modules
        }
    }

    /**
     * Shows the version and the native that lines use, loading it as a line would.
     *
     * @return whether the native loaded
     */
    static boolean version(PrintStream out, PrintStream err) {
        String version = ourVersion();
        out.println("ruvek " + (version == null ? "unknown" : version));
        String os = Os.osName();
        String arch = System.getProperty("os.arch", "");
        String platform = NativeLoader.platform(os, arch);
        out.println("platform " + (platform == null ? "none of the jar's" : platform) + " (" + os + ", " + arch + ")");
        try {
            NativeLoader.load("ruvekline", platform, os, arch);
        } catch (UnsatisfiedLinkError e) {
            out.flush();
            err.println("no native: " + e.getMessage());
            return false;
        }
        String loaded = System.getProperty("ruvek.native.loaded.ruvekline", "");
        // Each class loader's load adds its copy at the end of the list.
        out.println("native " + loaded.substring(loaded.lastIndexOf(File.pathSeparatorChar) + 1));
        return true;
    }
}
