// What a port watcher tells: a serial port added to the system, or removed from it.
package ruvek;

/**
 * Told by a {@link PortWatcher} of each port that appears or goes, on the
 * watcher's own thread, one call at a time. The ports are those that
 * {@link SerialPorts#list()} shows.
 */
public interface PortWatchListener {
    /**
     * A port is there: each one present when the watch began, then each that appears.
     *
     * @param port the port, as {@link SerialPorts#list()} gives it
     */
    void added(SerialPortInfo port);

    /**
     * A port told as added is gone, or has changed (then it is added again as it is now).
     *
     * @param port the port as it was told when added
     */
    void removed(SerialPortInfo port);
}
