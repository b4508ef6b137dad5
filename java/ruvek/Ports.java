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

    /** Why the native could not open port {@code port} with these settings, from the system's error code. */
    SerialPortException diagnose(int port, LineSettings settings, int error) {
        return fromCode(port, device(port), settings, error);
    }

    /** Why the native could not open a device by its name, from the system's error code. */
    SerialPortException diagnose(String device, LineSettings settings, int error) {
        return fromCode(SerialLine.NO_PORT, device, settings, error);
    }

    /** The exception for the native's error code, where nothing else tells more. */
    static SerialPortException fromCode(int port, String device, LineSettings settings, int error) {
        if (LineNatives.refusedField(error) >= 0)
            return settings.refusedAtOpen(LineNatives.refusedField(error), port, device, 0);
        switch (error) {
        case LineNatives.ERROR_DEVICE_REMOVED:
            return new PortDisconnectedException(port, device, "disconnected; the device went as it was opened");
        case LineNatives.ERROR_FILE_NOT_FOUND:
        case LineNatives.ERROR_PATH_NOT_FOUND:
            return noSuchPort(port, device);
        case LineNatives.ERROR_SHARING_VIOLATION:
            return new PortBusyException(port, device, "busy; another program or line has it open");
        case LineNatives.ERROR_ACCESS_DENIED:
            // Windows says so of a port that another has open, too.
            return Os.current() == Os.WINDOWS ? new PortBusyException(port, device, "busy; another program has it open")
                    : new PortAccessDeniedException(port, device, "permission denied");
        case LineNatives.ERROR_INVALID_PARAMETER:
            return new NotASerialPortException(port, device, "not a serial device");
        default:
            return new SerialPortException(port, device, "cannot be opened at " + settings + " (system error " + error + ")");
        }
    }

    /** The ports the system shows. */
    List<SerialPortInfo> list() {
        return Collections.emptyList();
    }

    static NoSuchPortException noSuchPort(int port, String device) {
        return new NoSuchPortException(port, device, "no such port");
    }
}
