// The four natives of SerialPort, as the ruvek package sees them.
package ruvek;

/**
 * The four natives of {@code SerialPort} as this package reaches them: a
 * class in the unnamed package implements it, since no named package can
 * name {@code SerialPort}. Applications use {@link SerialLine} instead.
 */
public interface NativePort {
    /**
     * Opens and configures a port, closing any port that was open.
     *
     * @param port the port number, 1 for COM1
     * @param baud bits per second
     * @return true when the port is open; false leaves no port open
     */
    boolean init(int port, int baud);

    /**
     * Polls for one received byte without waiting.
     *
     * @return the byte as 0 to 255, or -1 when none is waiting
     */
    int recc();

    /**
     * Sends the low 8 bits of {@code b}.
     *
     * @param b the byte to send
     * @return true once the driver has taken the byte
     */
    boolean send(int b);

    /**
     * Releases the port.
     *
     * @return true when an open port was closed
     */
    boolean close();
}
