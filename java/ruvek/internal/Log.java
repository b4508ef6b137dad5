// FINE records under the logger "ruvek", for a user debugging the loader and the opens.
package ruvek.internal;

import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * The loader's choices and each open's steps, at FINE, under the logger
 * {@code ruvek}. Only where java.util.logging is configured by its system
 * properties ({@code java.util.logging.config.file} or {@code .class}), or
 * {@code ruvek.log} is {@code true}: the logging system's first use costs a
 * JVM's start some 20 ms, which nobody who doesn't debug should pay.
 */
public final class Log {
    private static final Logger LOGGER = wanted() ? Logger.getLogger("ruvek") : null;

    private Log() {}

    private static boolean wanted() {
        return System.getProperty("java.util.logging.config.file") != null
                || System.getProperty("java.util.logging.config.class") != null || Boolean.getBoolean("ruvek.log");
    }

    /** @return whether a FINE record would be published: build a costly message only then */
    public static boolean fine() {
        return LOGGER != null && LOGGER.isLoggable(Level.FINE);
    }

    /**
     * A FINE record.
     *
     * @param message what happened
     */
    public static void fine(String message) {
        if (fine()) {
            LOGGER.fine(message);
        }
    }

    /**
     * A FINER record: each place the loader tried, with why it failed.
     *
     * @param message what happened
     * @param cause the exception that said so, or null
     */
    public static void finer(String message, Throwable cause) {
        if (LOGGER != null && LOGGER.isLoggable(Level.FINER)) {
            LOGGER.log(Level.FINER, message, cause);
        }
    }
}
