// What an application gives SerialLine.listen to be told of a line's events.
package ruvek;

/** Told of a line's events, in the order they happened, one at a time. */
@FunctionalInterface
public interface LineListener {
    /**
     * Takes one event. What it throws goes to its thread's uncaught-exception
     * handler, and later events still come. It may close the line or the
     * listening.
     *
     * @param event what happened
     */
    void onEvent(LineEvent event);
}
