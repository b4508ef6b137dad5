// A message that went on past its framing's limit: delivered as this error, never cut short silently.
package ruvek;

/**
 * A message went on past its {@link Framing}'s limit. The reader has passed
 * over the rest of it, to the delimiter or the gap that ends it, so the next
 * read starts at the next message; {@link #partial()} holds the first
 * {@code limit} bytes.
 */
public final class MessageTooLongException extends SerialPortException {
    private static final long serialVersionUID = 1L;

    /** The framing's limit, in bytes. */
    private final int limit;
    /** The message's first {@code limit} bytes. */
    private final byte[] partial;

    MessageTooLongException(SerialLine line, int limit, byte[] partial) {
        super(line.port(), line.device(), "a message went on past its limit of " + limit + " bytes");
        this.limit = limit;
        this.partial = partial;
    }

    /** @return the framing's limit, in bytes */
    public int limit() {
        return limit;
    }

    /** @return the message's first {@link #limit()} bytes, a copy */
    public byte[] partial() {
        return partial.clone();
    }
}
