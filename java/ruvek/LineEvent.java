// What a line's listener is told: one event, its type and the line's new state.
package ruvek;

/**
 * One event on a {@link SerialLine}, as its {@link LineListener} is told of
 * it. Events that come faster than the listener takes them may merge: a
 * modem line's event then carries its level now, and a listener is never
 * told of a level that the line did not change to.
 */
public final class LineEvent {
    /** What happened. */
    public enum Type {
        /** Bytes arrived; {@link #count()} is how many wait to be read. */
        DATA_AVAILABLE,
        /** CTS changed; {@link #isOn()} is its new level. */
        CTS,
        /** DSR changed; {@link #isOn()} is its new level. */
        DSR,
        /** RI (ring indicator) changed; {@link #isOn()} is its new level. */
        RI,
        /** DCD (carrier detect) changed; {@link #isOn()} is its new level. */
        DCD,
        /** A break came in. */
        BREAK,
        /** A byte came with a framing error: a wrong rate or format at either end. */
        FRAMING_ERROR,
        /** A byte came with a parity error. */
        PARITY_ERROR,
        /** Bytes were lost: the driver's or the UART's buffer overran. */
        OVERRUN_ERROR,
        /** The last byte written has been sent. */
        OUTPUT_EMPTY,
        /** The device has gone, such as a USB adapter pulled out; no event follows. */
        DEVICE_GONE,
        /**
         * A whole message arrived, as the listening's {@link Framing} ends
         * it: {@link #message()}; or one went on past its limit, which
         * {@link #error()} says, with its first bytes.
         */
        MESSAGE
    }

    private final SerialLine line;
    private final Type type;
    private final boolean on;
    private final int count;
    private final byte[] message;
    private final MessageTooLongException error;

    LineEvent(SerialLine line, Type type, boolean on, int count) {
        this.line = line;
        this.type = type;
        this.on = on;
        this.count = count;
        message = null;
        error = null;
    }

    LineEvent(SerialLine line, byte[] message, MessageTooLongException error) {
        this.line = line;
        type = Type.MESSAGE;
        on = false;
        count = message == null ? error.limit() : message.length;
        this.message = message;
        this.error = error;
    }

    /** @return the line it happened on */
    public SerialLine line() {
        return line;
    }

    /** @return what happened */
    public Type type() {
        return type;
    }

    /** @return a modem line's new level; false for the other types */
    public boolean isOn() {
        return on;
    }

    /**
     * @return {@link Type#MESSAGE}'s message, a copy; null for a message
     *     past its limit, and for the other types
     */
    public byte[] message() {
        return message == null ? null : message.clone();
    }

    /** @return why {@link Type#MESSAGE} has no message: it went on past its limit; else null */
    public MessageTooLongException error() {
        return error;
    }

    /**
     * @return the bytes waiting for {@link Type#DATA_AVAILABLE}, a message's
     *     length (its limit when too long); 1 for the other types
     */
    public int count() {
        return count;
    }

    @Override
    public String toString() {
        switch (type) {
        case CTS:
        case DSR:
        case RI:
        case DCD:
            return type + (on ? " on" : " off");
        case DATA_AVAILABLE:
            return type + " (" + count + (count == 1 ? " byte)" : " bytes)");
        case MESSAGE:
            return message == null ? type + " past its limit of " + count + " bytes" : type + " (" + count + " bytes)";
        default:
            return type.toString();
        }
    }
}
