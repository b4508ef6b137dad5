// The JVM side of scripts/bench's start-up rows: one run of a whole process.
import java.io.InputStream;
import java.io.OutputStream;

/**
 * One whole-process start, for scripts/bench to time from outside against
 * a bare JVM: {@code bare} returns at once; {@code ruvek DEVICE} and
 * {@code jssc DEVICE} load their library, open DEVICE (whose far end
 * echoes), send a byte and wait for it to come back, then exit.
 */
public final class StartBench {
    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "bare":
                return;
            case "ruvek":
                try (ruvek.SerialLine line = ruvek.SerialLine.open(args[1], 115200)) {
                    OutputStream out = line.getOutputStream();
                    InputStream in = line.getInputStream();
                    out.write('s');
                    if (in.read() != 's')
                        throw new IllegalStateException("the echo changed the byte");
                }
                return;
            case "jssc":
                jssc.SerialPort port = new jssc.SerialPort(args[1]);
                if (!port.openPort())
                    throw new IllegalStateException("cannot open " + args[1]);
                port.setParams(115200, 8, 1, 0);
                port.writeBytes(new byte[] {'s'});
                if (port.readBytes(1)[0] != 's')
                    throw new IllegalStateException("the echo changed the byte");
                port.closePort();
                return;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }
}
