// The named API's natives: one open port per line, reads that wait in the system, bulk transfers.
package ruvek;

import ruvek.internal.NativeLoader;
import ruvek.internal.Os;

/**
 * The natives of the library {@code ruvekline}, for {@link SerialLine}
 * alone. A line is a handle that {@link #open} returns; the caller keeps
 * every other call off it once {@link #close} has begun, and calls
 * {@link #cancel} first to end the calls in progress. Failures come back as
 * a negative Win32 error code, which {@link SerialLine} turns into exceptions.
 */
final class LineNatives {
    static final int ERROR_FILE_NOT_FOUND = 2;
    static final int ERROR_PATH_NOT_FOUND = 3;
    static final int ERROR_ACCESS_DENIED = 5;
    static final int ERROR_SHARING_VIOLATION = 32;
    static final int ERROR_NOT_SUPPORTED = 50;
    static final int ERROR_INVALID_PARAMETER = 87;
    static final int ERROR_OPERATION_ABORTED = 995;
    /** A device that has gone, as the natives report every way a system says so. */
    static final int ERROR_DEVICE_REMOVED = 1617;
    /**
     * Ours, beside Win32's codes (bit 29 marks an application's): the driver
     * refused the settings at open, with the field it refused in the low
     * byte (as {@link #setFormat} numbers them), or 0 when none could be named.
     */
    static final int ERROR_SETTINGS_REFUSED = 0x20000000;

    /** The field refused, 0 for none named, when {@code error} is a refusal at open; else -1. */
    static int refusedField(int error) {
        return (error & ~0xFF) == ERROR_SETTINGS_REFUSED ? error & 0xFF : -1;
    }

    private LineNatives() {}

    /**
     * Why the native did not load, or null once it has. Kept rather than
     * thrown from here: a class whose initialiser throws fails every later
     * use with a bare NoClassDefFoundError, and each call should say why.
     */
    private static final Throwable UNLOADED;

    static {
        String os = Os.osName();
        String arch = System.getProperty("os.arch", "");
        Throwable failed = null;
        try {
            NativeLoader.load("ruvekline", NativeLoader.platform(os, arch), os, arch);
        } catch (LinkageError | RuntimeException e) {
            failed = e;
        }
        UNLOADED = failed;
        if (failed == null) {
            // Linked now, on a handle that names no line: the JVM looks a native
            // up on its first call, which a first close would otherwise wait for.
            cancel(0);
            wakeRead(0);
        }
    }

    /**
     * For the calls that come before any handle: throws why the native did
     * not load, each time it is asked.
     *
     * @throws UnsatisfiedLinkError naming every place tried and why each failed
     */
    static void requireLoaded() {
        if (UNLOADED != null) {
            UnsatisfiedLinkError e = new UnsatisfiedLinkError(UNLOADED.getMessage());
            e.initCause(UNLOADED);
            throw e;
        }
    }

    /**
     * Opens and configures a port for overlapped I/O in the format given, DTR
     * and RTS off (RTS the handshake's under RTS/CTS).
     *
     * @param name the port's name, NUL-terminated, in the system's encoding: COM7, \\.\COM12, /dev/ttyUSB0
     * @param baud bits per second, positive
     * @param dataBits 5 to 8
     * @param parity as {@link #setFormat} takes it
     * @param stopBits as {@link #setFormat} takes it
     * @param flow as {@link #setFormat} takes it
     * @param options as {@link #setFormat} takes them
     * @return the line's handle, positive; or minus the Win32 error code, {@link #ERROR_SETTINGS_REFUSED}
     *     with the field when the driver refused the format
     */
    static native long open(byte[] name, int baud, int dataBits, int parity, int stopBits, int flow, int options);

    /**
     * Waits until a byte has arrived, {@code timeoutMs} has passed, the
     * line is cancelled or {@link #wakeRead} ends the wait, then takes what
     * has arrived, up to {@code len}.
     *
     * @param timeoutMs milliseconds, or 0 to wait without limit
     * @return the bytes read, 0 when the time-out passed or the read was
     *     woken, or minus the Win32 error code
     */
    static native int read(long line, byte[] b, int off, int len, int timeoutMs);

    /**
     * Reads one message that a gap of {@code gapMs} with no byte ends: waits
     * for its first byte as {@link #read} does, then takes bytes until the
     * gap passes or {@code len} have come. A wake ends the wait for the
     * first byte only.
     *
     * @param firstWaitMs milliseconds to wait for the first byte, or 0 without limit
     * @return the message's length, 0 when the wait passed or the read was
     *     woken, or minus the Win32 error code
     */
    static native int readGap(long line, byte[] b, int off, int len, int gapMs, int firstWaitMs);

    /**
     * Writes every byte of the range, waiting while the driver's queue is full.
     *
     * @return {@code len}, or minus the Win32 error code, with an unknown part written
     */
    static native int write(long line, byte[] b, int off, int len);

    /** @return the bytes received and not yet read, or minus the Win32 error code */
    static native int available(long line);

    /** Ends the calls in progress on the line and those that start after, until it closes. */
    static native void cancel(long line);

    /**
     * Ends the wait of the read in progress, or of the next read to wait,
     * with no bytes; the line stays open, and its writes go on.
     */
    static native void wakeRead(long line);

    /**
     * Closes the line's port and frees the line; no call may be in progress.
     *
     * @return whether the system closed the port cleanly
     */
    static native boolean close(long line);

    /**
     * Applies a line format, as the DCB's values (parity 0 to 4 for none, odd,
     * even, mark, space; stop bits 0 to 2 for 1, 1.5, 2; flow 0 to 2 for none,
     * RTS/CTS, XON/XOFF), with options: 1 low latency, 2 RS-485 direction control.
     *
     * @return 0 when the driver took it; 1 to 7, the field it refused (baud,
     *     data bits, parity, stop bits, flow control, low latency, RS-485),
     *     with the line as it was; or minus the Win32 error code
     */
    static native int setFormat(long line, int baud, int dataBits, int parity, int stopBits, int flow, int options);

    /**
     * The format the driver applies now.
     *
     * @return baud in bits 0-31, then a byte each for data bits, parity and
     *     stop bits, then four bits of flow and two of options, as
     *     {@link #setFormat} takes them; or minus the Win32 error code
     */
    static native long getFormat(long line);

    /** @return 0 once DTR or RTS is set as asked (Win32's SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6), or minus the error */
    static native int escape(long line, int function);

    /** @return the modem's input lines (Win32's MS_CTS_ON 0x10, MS_DSR_ON 0x20, MS_RING_ON 0x40, MS_RLSD_ON 0x80), or minus the error */
    static native int modemStatus(long line);

    /** @return 0 once the line has been held in break for {@code ms} and released, or minus the error */
    static native int sendBreak(long line, int ms);

    /** @return 0 once every byte written has left the driver, or minus the error */
    static native int drain(long line);

    /** @return 0 once what waits to be read (8) or sent (4) is discarded, or minus the error */
    static native int purge(long line, int flags);

    /** The events {@link #waitEvents} waits for, as Win32 numbers them. */
    static final int EV_RXCHAR = 0x1, EV_TXEMPTY = 0x4, EV_CTS = 0x8, EV_DSR = 0x10, EV_RLSD = 0x20,
            EV_BREAK = 0x40, EV_ERR = 0x80, EV_RING = 0x100;
    /** The line errors in its answer, as Win32 numbers them. */
    static final int CE_OVERRUN = 0x2, CE_RXPARITY = 0x4, CE_FRAME = 0x8, CE_BREAK = 0x10;
    /** Its answer when a {@link #wakeEvents} ended the wait. */
    static final long WOKEN = 1L << 30;

    /**
     * Waits for one of the events in {@code mask} (EV_ bits), one waiter at
     * a time, never beside its close.
     *
     * @return the events that came in bits 0-15, the modem lines (MS_ bits
     *     shifted right by 4) in 16-19 when the mask asks for them, the line
     *     errors (CE_ bits) in 20-24 and the bytes waiting from bit 32; or
     *     {@link #WOKEN}; or minus the Win32 error
     */
    static native long waitEvents(long line, int mask);

    /**
     * Sets the events the port counts from now on (EV_ bits), so that the
     * next {@link #waitEvents} with this mask tells what came meanwhile; one
     * caller at a time with the waits.
     *
     * @return 0, or minus the Win32 error
     */
    static native int setEventMask(long line, int mask);

    /** Ends the event wait in progress, or the next one to begin, with {@link #WOKEN}. */
    static native void wakeEvents(long line);

    /** How a watch sees changes, as {@link #watchHow} answers: the registry's key, or DEVICEMAP's tree without it. */
    static final int WATCH_REGISTRY = 1, WATCH_DEVICEMAP = 2;
    /** On Linux: the kernel's uevents, the com links' folder, /dev/serial/by-id, /dev's tty nodes. */
    static final int WATCH_UEVENTS = 4, WATCH_LINKS = 8, WATCH_BY_ID = 16, WATCH_DEV = 32;

    /**
     * Begins to watch the system's serial ports; a change from now on ends
     * the next {@link #watchWait}.
     *
     * @return the watch's handle, positive, or minus the Win32 error
     */
    static native long watchOpen();

    /**
     * Waits until the ports may have changed, or {@link #watchWake} ends the
     * wait; one waiter at a time, never beside the watch's close.
     *
     * @return 1 for a change, 0 when woken, or minus the Win32 error
     */
    static native int watchWait(long watch);

    /** Ends the wait in progress, or the next one to begin, with 0. */
    static native void watchWake(long watch);

    /**
     * Stops the watch and frees it; no wait may be in progress.
     *
     * @return 0, or minus the Win32 error (ERROR_INVALID_HANDLE once closed)
     */
    static native int watchClose(long watch);

    /** @return the {@code WATCH_} bits of what the watch watches now, or minus the Win32 error */
    static native int watchHow(long watch);
}
