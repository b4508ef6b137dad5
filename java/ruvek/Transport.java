// What one open line needs from below: the native device's calls, which every other transport answers alike.
package ruvek;

/**
 * The calls a {@link SerialLine} makes on what carries its bytes. Each
 * answers as the natives do: 0 or more, or minus a Win32 error code (
 * {@code ERROR_OPERATION_ABORTED} once cancelled, {@code ERROR_DEVICE_REMOVED}
 * once the far end has gone, {@code ERROR_NOT_SUPPORTED} for what it can't
 * do). SerialLine keeps the turns, time-outs, interrupts and closing above it,
 * so that each promise is kept once, for every transport.
 */
interface Transport {
    /** Waits up to timeoutMs (0: without limit) for a byte, then takes what came: the count, 0 for none. */
    int read(byte[] b, int off, int len, int timeoutMs);

    /** One message that a gap of gapMs ends, its first byte waited for up to firstWaitMs (0: without limit). */
    int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs);

    /** Writes the whole range: len, or the error. */
    int write(byte[] b, int off, int len);

    int available();

    /** Ends every call in progress, and makes every later one end at once. */
    void cancel();

    /** Ends the read in progress, or the next, with what it took; the line goes on. */
    void wakeRead();

    /** Frees what the line holds; false when it was freed already. No call is in progress. */
    boolean close();

    /** 0, the field refused (LineNatives.FIELD_*), or the error. */
    int setFormat(int baud, int dataBits, int parity, int stopBits, int flow, int options);

    /** How long a server was waited for, in ms, when its silence was setFormat's last refusal of field; else 0. */
    default long unconfirmedMs(int field) {
        return 0;
    }

    /** The settings in force, packed as LineSettings.unpack reads them, or the error. */
    long getFormat();

    /** EscapeCommFunction's functions: SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6. */
    int escape(int function);

    /** The modem lines as MS_*_ON bits. */
    int modemStatus();

    int sendBreak(int ms);

    int drain();

    /** PURGE_TXCLEAR 4, PURGE_RXCLEAR 8. */
    int purge(int flags);

    /** The events of mask since the last wait, packed as LineEvents.decode reads them; WOKEN for a wake. */
    long waitEvents(int mask);

    int setEventMask(int mask);

    void wakeEvents();
}
