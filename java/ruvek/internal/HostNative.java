// The copy of a native that the runtime hosting these classes made for them: a jlink image's or an OSGi framework's.
package ruvek.internal;

import java.io.File;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.security.CodeSource;

/**
 * Where these classes came from a jlink image that holds the native, or
 * from an OSGi bundle whose framework has extracted it (by the bundle's
 * Bundle-NativeCode), that copy comes first: it is the one built for these
 * classes, and using it writes nothing to the temp directory or the home.
 * Anywhere else there is none, and nothing changes.
 */
final class HostNative {
    private HostNative() {}

    /**
     * The host's copy of the library for this class's loader, or null when
     * there is none.
     *
     * @param library the library's name, without prefix or suffix
     * @param os the running system
     */
    static String path(String library, Os os) {
        String image = inImage(library, os);
        return image != null ? image : fromFramework(library);
    }

    /** Whether classes of this loader are a bundle's: OSGi makes each bundle's loader a BundleReference. */
    static boolean inBundle() {
        ClassLoader loader = HostNative.class.getClassLoader();
        return loader != null && implementsBundleReference(loader.getClass());
    }

    private static boolean implementsBundleReference(Class<?> type) {
        for (Class<?> c = type; c != null; c = c.getSuperclass()) {
            for (Class<?> i : c.getInterfaces()) {
                if (i.getName().equals("org.osgi.framework.BundleReference") || implementsBundleReference(i)) {
                    return true;
                }
            }
        }
        return false;
    }

    /**
     * The image's lib/ (bin/ on Windows) copy, when these classes are one of
     * the image's own modules (their code source is jrt:) and the file is
     * there. java.home may be unset, in a native image.
     */
    private static String inImage(String library, Os os) {
        CodeSource source = HostNative.class.getProtectionDomain().getCodeSource();
        URL at = source == null ? null : source.getLocation();
        String home = System.getProperty("java.home");
        if (at == null || !at.getProtocol().equals("jrt") || home == null || home.isEmpty()) {
            return null;
        }
        File file = new File(new File(home, os == Os.WINDOWS ? "bin" : "lib"), System.mapLibraryName(library));
        return file.isFile() ? file.getAbsolutePath() : null;
    }

    /**
     * The framework's copy, as the bundle's class loader names it to
     * System.loadLibrary. Asked of the loader directly, since loadLibrary
     * would fall back to java.library.path and might load another build's
     * copy ahead of the jar's. It lies in the framework's storage beside the
     * bundle's own classes: whoever could change it could change those.
     */
    private static String fromFramework(String library) {
        ClassLoader loader = HostNative.class.getClassLoader();
        if (loader == null || !inBundle()) {
            return null;
        }
        for (Class<?> c = loader.getClass(); c != null && c != ClassLoader.class; c = c.getSuperclass()) {
            Method find;
            try {
                find = c.getDeclaredMethod("findLibrary", String.class);
            } catch (NoSuchMethodException e) {
                continue;
            }
            try {
                find.setAccessible(true);
                Object found = find.invoke(loader, library);
                return found instanceof String && new File((String) found).isAbsolute() ? (String) found : null;
            } catch (IllegalAccessException | InvocationTargetException | RuntimeException e) {
                return null; // a framework that won't be asked: the jar's own copy serves, as outside one
            }
        }
        return null;
    }
}
