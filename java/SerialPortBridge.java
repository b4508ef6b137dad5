// The one class of the unnamed package that the ruvek package reaches SerialPort through.
/**
 * {@link SerialPort} behind {@link ruvek.NativePort}, for the {@code ruvek}
 * package, which cannot name a class of the unnamed package. SerialPort's own
 * methods implement the interface: a call costs one interface dispatch and
 * no reflection.
 */
public final class SerialPortBridge extends SerialPort implements ruvek.NativePort {
    /** Made once, through {@code Class.forName}, by {@code ruvek.SerialLine}. */
    public SerialPortBridge() {}
}
