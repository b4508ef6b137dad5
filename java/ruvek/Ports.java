// What SerialLine and SerialPorts need to know of this OS's ports; one subclass per OS.
package ruvek;

import java.util.Collections;
import java.util.List;
import ruvek.internal.Os;

/**
 * The ports of an OS: how a number names a device, how an opened device is
 * watched, why an open failed, and which ports there are. This one serves an
 * OS that ruvek knows nothing of.
 */
class Ports {
    private static final Ports UNKNOWN = new Ports();
    private static final Watch NO_WATCH = new Watch();

    Ports() {}

    /** The running OS's ports. */
    static Ports current() {
        Os os = Os.current();
        return os == Os.LINUX ? LinuxPorts.INSTANCE : os == Os.WINDOWS ? WindowsPorts.INSTANCE : UNKNOWN;
    }

    /** The device behind the port, for messages. */
    String device(int port) {
        return "COM" + port;
    }

    /** What identifies the device opened, to compare with what the native holds; null when nothing can. */
    Object key(String device) {
        return null;
    }

    /**
     * Whether one of this process's descriptors holds the device with this
     * key; null when that can't be told.
     */
    Boolean heldByThisProcess(Object key) {
        return null;
    }

    /** Watches an open device for its disappearance: this one never sees it go. */
    Watch watch(String device, Object key) {
        return NO_WATCH;
    }

    /** Tells whether an open device has gone, the native being unable to say. */
    static class Watch {
        /** Why the device has gone; null while it seems to be there, or when that can't be told. */
        String gone() {
            return null;
        }
    }

    /** Why the native could not open the port. */
    SerialPortException diagnose(int port, int baud) {
        return new SerialPortException(port, device(port), "cannot be opened at " + baud + " baud");
    }

    /** The ports the system shows. */
    List<SerialPortInfo> list() {
        return Collections.emptyList();
    }

    /** The device is there and free, yet its driver would not take the line's settings. */
    static UnsupportedSettingsException refused(int port, String device, int baud) {
        return new UnsupportedSettingsException(port, device,
                "the driver refused " + baud + " baud, 8 data bits, no parity, one stop bit");
    }

    static NoSuchPortException noSuchPort(int port, String device) {
        return new NoSuchPortException(port, device, "no such port");
    }
}
