// The host's side of the real-driver bed: boots the guest under QEMU and plays every far end of its lines.
package ruvek.guest;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.Channels;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Boots the guest with an 8250 on ttyS1 (a plain socket far end), a control
 * line on ttyS2, an 8250 on ttyS3 whose far end speaks telnet (so that it
 * can send a break), and an FT232 adapter on ttyUSB0. The guest's tests ask
 * for far ends, unplugs and traces over the control line, one command a
 * line ({@link Control}); the host's RFC 2217 client ({@link Remote})
 * reaches ser2net in the guest over QEMU's user network. The far ends keep reading whatever they have yet
 * to write back, since QEMU's chardev writes block its main loop.
 * Usage: Bench KERNEL INITRD WORK GUEST-COMMAND-FILE; exits with the guest
 * command's status, or 3 when the guest did not run it.
 */
public final class Bench {
    /** How many times the adapter can be plugged in: one chardev each, since one unplugged is not reused. */
    static final int PLUGS = 12;

    final Path work;
    final Map<String, FarEnd> ends = new HashMap<>();
    final List<FarEnd> adapters = new ArrayList<>();
    Monitor monitor;
    int plugged = 0; // the adapter's index in `adapters`, -1 while none is plugged
    int nextPlug = 1;
    Process qemu;
    Remote remote;

    Bench(Path work) {
        this.work = work;
    }

    public static void main(String[] args) throws Exception {
        Path work = Path.of(args[2]).toAbsolutePath();
        Files.copy(Path.of(args[3]), work.resolve("command"), java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        work.resolve("command").toFile().setExecutable(true);
        Files.deleteIfExists(work.resolve("status"));
        Bench bench = new Bench(work);
        int status = bench.run(args[0], args[1]);
        System.exit(status);
    }

    int run(String kernel, String initrd) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("qemu-system-x86_64", "-machine", "q35", "-accel", "tcg,thread=multi",
                "-smp", "2", "-m", "2048", "-nodefaults", "-no-user-config", "-display", "none", "-vga", "none",
                "-no-reboot", "-kernel", kernel, "-initrd", initrd, "-pidfile", work.resolve("qemu.pid").toString(),
                // A fifth ttyS, which has no UART behind it.
                "-append", "console=ttyS0 quiet panic=-1 8250.nr_uarts=5 ruvek.work=" + work,
                "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
                "-chardev", "socket,id=s1,path=" + sock("s1") + ",server=on,wait=off", "-serial", "chardev:s1",
                "-chardev", "socket,id=ctl,path=" + sock("ctl") + ",server=on,wait=off", "-serial", "chardev:ctl",
                "-chardev", "socket,id=s3,path=" + sock("s3") + ",server=on,wait=off,telnet=on", "-serial", "chardev:s3",
                "-monitor", "unix:" + sock("mon") + ",server=on,wait=off",
                "-device", "qemu-xhci,id=x",
                "-fsdev", "local,id=h,path=/,security_model=none,readonly=on,multidevs=remap",
                "-device", "virtio-9p-pci,fsdev=h,mount_tag=host",
                "-fsdev", "local,id=w,path=" + work + ",security_model=none,multidevs=remap",
                "-device", "virtio-9p-pci,fsdev=w,mount_tag=work",
                "-D", work.resolve("qemu.log").toString(), "-msg", "timestamp=on",
                // What the emulated chips make of the drivers' settings: rare, so always on.
                "-trace", "serial_update_parameters", "-trace", "usb_serial_set_baud", "-trace", "usb_serial_set_data",
                "-trace", "usb_serial_handle_control"));
        // The guest's servers, reached from the host's loopback alone.
        Map<String, Integer> hostPorts = new HashMap<>();
        StringBuilder net = new StringBuilder("user,id=n,restrict=on");
        for (Map.Entry<String, Integer> served : Remote.GUEST_PORTS.entrySet()) {
            int port = freePort();
            hostPorts.put(served.getKey(), port);
            net.append(",hostfwd=tcp:127.0.0.1:").append(port).append("-:").append(served.getValue());
        }
        remote = new Remote(hostPorts);
        cmd.addAll(List.of("-netdev", net.toString(), "-device", "virtio-net-pci,netdev=n"));
        for (int i = 1; i <= PLUGS; i++)
            cmd.addAll(List.of("-chardev", "socket,id=u" + i + ",path=" + sock("u" + i) + ",server=on,wait=off"));
        cmd.addAll(List.of("-device", "usb-serial,chardev=u1,bus=x.0,id=ftdi1"));
        ProcessBuilder builder = new ProcessBuilder(cmd).redirectErrorStream(true);
        qemu = builder.start();
        // A bench stopped early takes the guest with it.
        Runtime.getRuntime().addShutdownHook(new Thread(qemu::destroyForcibly));
        qemu.getOutputStream().close();
        Thread console = new Thread(() -> pump(qemu.getInputStream()), "console");
        console.start();
        try {
            monitor = new Monitor(connect("mon"));
            ends.put("s1", new FarEnd("s1", connect("s1"), false));
            ends.put("s3", new FarEnd("s3", connect("s3"), true));
            for (int i = 1; i <= PLUGS; i++)
                adapters.add(new FarEnd("u" + i, connect("u" + i), false));
            ends.put("usb", adapters.get(0));
            Control control = new Control(this, connect("ctl"));
            control.setDaemon(true);
            control.start();
        } catch (IOException e) {
            System.out.println("bench: " + e.getMessage());
            qemu.destroyForcibly();
        }
        // The guest powers itself off; a run that hangs is cut short.
        if (!qemu.waitFor(15, TimeUnit.MINUTES)) {
            System.out.println("bench: the guest ran for 15 minutes; stopping it");
            qemu.destroyForcibly().waitFor();
        }
        console.join(10_000);
        Path status = work.resolve("status");
        return Files.exists(status) ? Integer.parseInt(Files.readString(status).trim()) : 3;
    }

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    Path sock(String name) {
        return work.resolve(name + ".sock");
    }

    /** Connects to one of QEMU's sockets, which appear once it has started. */
    SocketChannel connect(String name) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        for (;;) {
            try {
                SocketChannel c = SocketChannel.open(StandardProtocolFamily.UNIX);
                c.connect(UnixDomainSocketAddress.of(sock(name)));
                return c;
            } catch (IOException e) {
                if (!qemu.isAlive() || System.nanoTime() > deadline)
                    throw new IOException("QEMU's socket " + name + " never opened: " + e.getMessage());
                Thread.sleep(20);
            }
        }
    }

    /** The guest's console, without the keep-alive NULs. */
    static void pump(InputStream in) {
        byte[] buf = new byte[4096];
        try {
            for (int n; (n = in.read(buf)) > 0; ) {
                int k = 0;
                for (int i = 0; i < n; i++)
                    if (buf[i] != 0)
                        buf[k++] = buf[i];
                System.out.write(buf, 0, k);
                System.out.flush();
            }
        } catch (IOException e) {
            // QEMU is gone
        }
    }

    /** Pulls the adapter out; null when it went, else what the monitor said. */
    String unplug() throws IOException {
        if (plugged < 0)
            return "no adapter is plugged in";
        String said = monitor.command("device_del ftdi" + (plugged + 1));
        plugged = -1;
        return said.isBlank() ? null : said;
    }

    /** Plugs a new adapter in, on a fresh chardev; null when it went (or one is in), else what the monitor said. */
    String replug() throws IOException {
        if (plugged >= 0)
            return null;
        if (nextPlug >= PLUGS)
            return "no chardev is left for another adapter";
        int index = nextPlug++;
        String said = monitor.command("device_add usb-serial,chardev=u" + (index + 1) + ",bus=x.0,id=ftdi" + (index + 1));
        if (!said.isBlank())
            return said;
        plugged = index;
        ends.put("usb", adapters.get(index));
        return null;
    }

    /** QEMU's human monitor: one command, then everything up to the next prompt. */
    static final class Monitor {
        private static final String PROMPT = "(qemu) ";
        private final SocketChannel channel;
        private final InputStream in;
        private final OutputStream out;

        Monitor(SocketChannel channel) throws IOException {
            this.channel = channel;
            in = Channels.newInputStream(channel);
            out = Channels.newOutputStream(channel);
            untilPrompt();
        }

        synchronized String command(String line) throws IOException {
            out.write((line + "\n").getBytes(StandardCharsets.US_ASCII));
            out.flush();
            String said = untilPrompt();
            // The monitor echoes the command first.
            int echoed = said.indexOf(line);
            if (echoed >= 0)
                said = said.substring(echoed + line.length());
            return said.replaceAll("\u001b\\[[0-9;]*[A-Za-z]", "").replace("\r", "").trim();
        }

        private String untilPrompt() throws IOException {
            StringBuilder got = new StringBuilder();
            for (int b; (b = in.read()) >= 0; ) {
                got.append((char) b);
                if (got.length() >= PROMPT.length() && got.substring(got.length() - PROMPT.length()).equals(PROMPT))
                    return got.substring(0, got.length() - PROMPT.length());
            }
            throw new IOException("the monitor closed; it said: " + got);
        }

        void close() throws IOException {
            channel.close();
        }
    }
}
