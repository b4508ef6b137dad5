// The 8250's own loopback, set from a second process: its outputs come back as its inputs.
package ruvek.guest;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;

/**
 * A Python process that holds the UART open with TIOCM_LOOP set: DTR comes
 * back as DSR, RTS as CTS, and what the UART sends as what it receives.
 * Closing it clears the loop, which would otherwise outlive every open.
 */
final class Loop implements AutoCloseable {
    private static final String PROGRAM = String.join("\n",
            "import fcntl, os, struct, sys, termios",
            "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)",
            "loop = struct.pack('I', 0x8000)",
            "fcntl.ioctl(fd, termios.TIOCMBIS, loop)",
            "print('looped', flush=True)",
            "sys.stdin.read()",
            "fcntl.ioctl(fd, termios.TIOCMBIC, loop)");

    private final Process python;

    Loop(String device) throws IOException {
        python = Rig.python(PROGRAM, device);
        String said = new BufferedReader(new InputStreamReader(python.getInputStream(), StandardCharsets.UTF_8)).readLine();
        if (!"looped".equals(said))
            throw new IOException("the loopback could not be set: " + said);
    }

    @Override
    public void close() throws IOException {
        Rig.end(python);
    }
}
