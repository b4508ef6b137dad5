// One port of the listing: its number, its device, and what the system says of it.
package ruvek;

import java.util.OptionalInt;

/**
 * One serial port that the system shows: the number to open it by, its
 * device, and what the system says about it. Fields the system does not
 * show are null.
 */
public final class SerialPortInfo {
    private final Integer port;
    private final String device;
    final String[] details; // driver, vendor id, product id, manufacturer, product, serial number

    SerialPortInfo(Integer port, String device, String... details) {
        this.port = port;
        this.device = device;
        this.details = java.util.Arrays.copyOf(details, 6);
    }

    /**
     * The number to pass to {@link SerialLine#open(int, int)}. Empty for a
     * device that no number reaches yet; on Linux, a link
     * {@code ~/.config/ruvek/com<n>} to the device gives it number n. Every
     * device opens by its name, with no link: see {@link #device()}.
     *
     * @return the port number, if the device has one
     */
    public OptionalInt port() {
        return port == null ? OptionalInt.empty() : OptionalInt.of(port);
    }

    /**
     * The device, such as {@code /dev/ttyUSB0} or {@code COM3}: the name to
     * pass to {@link SerialLine#open(String, int)}.
     *
     * @return the device's path or name
     */
    public String device() {
        return device;
    }

    /**
     * The driver, such as {@code ftdi_sio}, or on Windows the kernel's device
     * object, such as {@code \Device\Serial0}.
     *
     * @return the driver's name, or null
     */
    public String driver() {
        return details[0];
    }

    /**
     * A USB device's vendor ID, four hex digits such as {@code 0403}.
     *
     * @return the vendor ID, or null
     */
    public String vendorId() {
        return details[1];
    }

    /**
     * A USB device's product ID, four hex digits such as {@code 6001}.
     *
     * @return the product ID, or null
     */
    public String productId() {
        return details[2];
    }

    /**
     * A USB device's manufacturer, as the device names it.
     *
     * @return the manufacturer, or null
     */
    public String manufacturer() {
        return details[3];
    }

    /**
     * A USB device's product name, as the device names it.
     *
     * @return the product, or null
     */
    public String product() {
        return details[4];
    }

    /**
     * A USB device's serial number.
     *
     * @return the serial number, or null
     */
    public String serialNumber() {
        return details[5];
    }

    /** Equal when every field is: the same port, device and all the system says of it. */
    @Override
    public boolean equals(Object o) {
        if (!(o instanceof SerialPortInfo))
            return false;
        SerialPortInfo p = (SerialPortInfo) o;
        return java.util.Objects.equals(port, p.port) && java.util.Objects.equals(device, p.device)
                && java.util.Arrays.equals(details, p.details);
    }

    @Override
    public int hashCode() {
        return java.util.Objects.hash(port, device) * 31 + java.util.Arrays.hashCode(details);
    }

    /**
     * One line: the port (or "-"), the device, then each field the system
     * shows, as in {@code COM5 /dev/ttyUSB0 ftdi_sio 0403:6001 FTDI "FT232R USB UART" A12345}.
     */
    @Override
    public String toString() {
        StringBuilder s = new StringBuilder(port == null ? "-" : "COM" + port).append(' ').append(device);
        if (driver() != null)
            s.append(' ').append(driver());
        if (vendorId() != null || productId() != null)
            s.append(' ').append(vendorId()).append(':').append(productId());
        for (int i = 3; i < 6; i++)
            if (details[i] != null)
                s.append(' ').append(details[i].contains(" ") ? '"' + details[i] + '"' : details[i]);
        return s.toString();
    }
}
