// Which operating system this JVM runs on: the one place that reads os.name.
package ruvek.internal;

import java.util.Locale;

/** The systems ruvek tells apart; every other one is {@link #OTHER}. */
public enum Os {
    /** Any Windows: os.name starts with "Windows". */
    WINDOWS,
    /** Linux: os.name is "Linux". */
    LINUX,
    /** Anything else, where ruvek has no native and knows no ports. */
    OTHER;

    /**
     * The system an os.name names, in any case.
     *
     * @param osName a value of the os.name property
     * @return the system it names
     */
    public static Os of(String osName) {
        String o = osName.toLowerCase(Locale.ROOT);
        if (o.startsWith("windows"))
            return WINDOWS;
        return o.equals("linux") ? LINUX : OTHER;
    }

    /**
     * The system this JVM runs on, read at each call (os.name is a property anyone may set).
     *
     * @return the running system
     */
    public static Os current() {
        return of(osName());
    }

    /**
     * The os.name property as it is now, for the loader's platform and for messages.
     *
     * @return os.name, or "" where it is unset
     */
    public static String osName() {
        return System.getProperty("os.name", "");
    }
}
