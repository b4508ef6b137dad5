// Finds and loads SerialPort's native library, once per process, from the places the README lists.
package ruvek.internal;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Finds and loads SerialPort's native library, once per process.
 *
 * <p>Places, in order: the file or folder named by the system property
 * {@code ruvek.library.path} (then nothing else); the copy that a jlink
 * image or an OSGi framework holds for these classes; the jar's native, extracted
 * once into a per-user cache folder under {@code java.io.tmpdir} keyed by its
 * SHA-256; the same cache under the user's home when the temp directory is
 * missing, read-only, noexec, unsafe or has a name Java can't spell;
 * {@code System.loadLibrary("ruvek")}. Nothing is loaded from a place that
 * another user could change.
 */
public final class NativeLoader {
    /** Names the file loaded in this process; set once a load succeeds. */
    static final String LOADED = "ruvek.native.loaded";
    static final String OVERRIDE = "ruvek.library.path";

    private NativeLoader() {}

    /**
     * The jar's folder for a platform, such as windows-x86.
     *
     * @param os the os.name
     * @param arch the os.arch
     * @return the folder's name, or null when the jar carries no native for it
     */
    public static String platform(String os, String arch) {
        String a = arch.toLowerCase(Locale.ROOT);
        if (a.equals("amd64") || a.equals("x86_64")) {
            a = "x86_64";
        } else if (a.equals("x86") || a.matches("i[3-6]86")) {
            a = "x86";
        } else if (!a.equals("aarch64") && !a.equals("arm")) {
            return null; // "arm" is what Java reports on ARMv7 hard float, the jar's linux-arm
        }
        Os o = Os.of(os);
        if (o == Os.WINDOWS && a.startsWith("x86")) {
            return "windows-" + a;
        }
        if (o == Os.LINUX) {
            return "linux-" + a;
        }
        return null;
    }

    /**
     * Loads SerialPort's native, unless a class loader of this process already has.
     *
     * @param platform the jar's folder for this OS and architecture, or null
     * @param os the running os.name, for messages
     * @param arch the running os.arch, for messages
     * @throws UnsatisfiedLinkError naming every place tried and why each failed
     */
    public static void load(String platform, String os, String arch) {
        load("ruvek", platform, os, arch);
    }

    /**
     * Loads one of the jar's natives: {@code ruvek} for SerialPort, once per
     * process, since its one port is the process's; {@code ruvekline} for the
     * named API, once per class loader. A JVM binds a library file to one
     * class loader, so each further loader gets a copy of the jar's native
     * under a name of its own ({@code libruvekline-2.so}, ...); the ports'
     * locks, not the copies, keep each port to one owner. Given a file,
     * {@code ruvek.library.path} names SerialPort's; the others are looked
     * for beside it.
     *
     * @param library the library's name, without prefix or suffix
     * @param platform the jar's folder for this OS and architecture, or null
     * @param os the running os.name, for messages
     * @param arch the running os.arch, for messages
     * @throws UnsatisfiedLinkError naming every place tried and why each failed
     */
    public static void load(String library, String platform, String os, String arch) {
        // Two class loaders may initialise SerialPort at once: the claim must be atomic.
        // String literals are one object per JVM, whichever loader defined the class.
        synchronized (LOADED) {
            boolean perProcess = library.equals("ruvek");
            String marker = perProcess ? LOADED : LOADED + "." + library;
            String loaded = System.getProperty(marker);
            if (loaded != null && perProcess) {
                throw new UnsatisfiedLinkError("ruvek's native library is already loaded in this process ("
                        + loaded + "), through another class loader; a second copy would hold a second port. "
                        + "Load SerialPort through one class loader only");
            }
            int copy = loaded == null ? 1 : loaded.split(File.pathSeparator).length + 1;
            String path;
            try {
                path = find(library, copy, platform, os, arch);
            } catch (RuntimeException e) {
                throw denied(e);
            }
            System.setProperty(marker, loaded == null ? path : loaded + File.pathSeparator + path);
            Log.fine("loaded " + library + " for " + os + " on " + arch + " from " + path
                    + (copy > 1 ? " (copy " + copy + ", for another class loader)" : ""));
        }
    }

    /** Loads the native from the first place that works and returns its path. */
    private static String find(String library, int copy, String platform, String os, String arch) {
        // 1. The user's own file, alone: a wrong path fails instead of loading another.
        String override = System.getProperty(OVERRIDE);
        if (override != null) {
            return fromOverride(library, override);
        }
        Tried tried = new Tried();
        // The copy a jlink image or an OSGi framework made for these classes, where there is one.
        String loaded = fromHost(library, Os.of(os), tried);
        if (loaded != null) {
            return loaded;
        }
        JarNative carried = JarNative.of(library, copy, platform, Os.of(os));
        if (carried == null) {
            tried.add("the jar: it has no native library for " + os + " on " + arch + " (os.name, os.arch)", null);
        } else {
            // 2. The jar's native, cached in the temp directory; 3. the same cache in the home folder.
            loaded = fromCache(NativeCache.TEMP, carried, Os.of(os), tried);
            if (loaded == null) {
                loaded = fromCache(NativeCache.HOME, carried, Os.of(os), tried);
            }
        }
        // 4. java.library.path.
        if (loaded == null) {
            loaded = fromLibraryPath(library, tried);
        }
        if (loaded == null) {
            throw tried.failure("ruvek cannot load its native library for " + os + " on " + arch
                    + " (os.name, os.arch); set " + OVERRIDE + " to the file or its folder. Tried:");
        }
        return loaded;
    }

    /**
     * The user's own native, loaded by its real path, after checking that
     * nobody else could change the file or any folder on the way to it.
     */
    private static String fromOverride(String library, String value) {
        if (value.isEmpty()) {
            throw new UnsatisfiedLinkError(OVERRIDE + " is set but empty: set it to ruvek's native library or the "
                    + "folder that holds it, or leave it unset");
        }
        File file = new File(value);
        if (file.isDirectory()) {
            file = new File(file, System.mapLibraryName(library));
        } else if (!library.equals("ruvek")) {
            file = new File(file.getAbsoluteFile().getParentFile(), System.mapLibraryName(library));
        }
        String reason;
        Throwable cause = null;
        try {
            Path given = file.toPath().toAbsolutePath();
            Path real = given.toRealPath();
            if (!Files.isRegularFile(real)) {
                throw new IOException("not a file");
            }
            if (SafePlaces.POSIX) {
                // Each folder the name is looked up in, links followed: whoever could change one could
                // point the name at another file before we resolve it.
                for (Path p = given.getParent(); p != null; p = p.getParent()) {
                    SafePlaces.trustFolders(p.toRealPath());
                }
                SafePlaces.trustFolders(real.getParent());
            }
            String untrusted = SafePlaces.untrusted(real, false);
            if (untrusted != null) {
                throw new IOException(real + " " + untrusted + ", who could put other code in it");
            }
            System.load(real.toString());
            return real.toString();
        } catch (java.nio.file.NoSuchFileException e) {
            reason = "no such file";
        } catch (InvalidPathException e) {
            reason = unspellable(e);
        } catch (IOException | UnsatisfiedLinkError | SecurityException e) {
            String noexec = SafePlaces.noexec(file.toPath());
            reason = noexec != null ? noexec : message(e);
            cause = e;
        }
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("ruvek cannot load " + file.getAbsolutePath()
                + " named by " + OVERRIDE + "=" + value + ": " + reason);
        if (cause != null) {
            error.initCause(cause);
        }
        throw error;
    }

    /** The host's copy of the native, loaded where it has one; null, noting why when it failed, where not. */
    private static String fromHost(String library, Os os, Tried tried) {
        String path = HostNative.path(library, os);
        if (path == null) {
            return null;
        }
        try {
            System.load(path);
            return path;
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add(path + " (the runtime's own copy): " + message(e), e);
            return null;
        }
    }

    /** The jar's native, copied into a cache and loaded from there; null, noting why, when that fails. */
    private static String fromCache(NativeCache cache, JarNative carried, Os os, Tried tried) {
        Path folder;
        try {
            folder = cache.folder(os);
        } catch (InvalidPathException e) {
            tried.add("a cache in " + cache.where + ": " + unspellable(e), null);
            return null;
        } catch (NativeCache.NoFolder e) {
            tried.add("a cache in " + cache.where + ": there is none (" + e.getMessage() + ")", null);
            return null;
        }
        Path target = folder.resolve(carried.folder).resolve(carried.file);
        try {
            target = cache.extract(folder, carried);
            System.load(target.toString());
            return target.toString();
        } catch (IOException | UnsatisfiedLinkError | SecurityException | InvalidPathException e) {
            String noexec = SafePlaces.noexec(target);
            tried.add(target + " (cache in " + cache.where + "): " + (noexec != null ? noexec : message(e)), e);
            return null;
        }
    }

    /** System.loadLibrary(library), from java.library.path; null, noting why, when that fails. */
    private static String fromLibraryPath(String library, Tried tried) {
        try {
            System.loadLibrary(library);
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add("System.loadLibrary(\"" + library + "\") on java.library.path ("
                    + System.getProperty("java.library.path") + "): " + message(e), e);
            return null;
        }
        // Where System.loadLibrary most likely found the native, for the marker.
        String name = System.mapLibraryName(library);
        for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            File f = new File(dir.isEmpty() ? "." : dir, name);
            if (f.isFile()) {
                return f.getAbsolutePath();
            }
        }
        return name;
    }

    /** Each place tried, in order, with why it failed, for the one error that names them all. */
    private static final class Tried {
        private final List<Failure> failures = new ArrayList<>();

        /** A place that failed: what the error says of it, and the exception that said so, if any. */
        private static final class Failure {
            final String line;
            final Throwable cause;

            Failure(String line, Throwable cause) {
                this.line = line;
                this.cause = cause;
            }
        }

        void add(String line, Throwable cause) {
            Log.finer("the native not loaded from " + line, cause);
            failures.add(new Failure(line, cause));
        }

        UnsatisfiedLinkError failure(String heading) {
            StringBuilder text = new StringBuilder(heading);
            for (Failure f : failures) {
                text.append("\n  ").append(f.line);
            }
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(text.toString());
            for (Failure f : failures) {
                if (f.cause != null) {
                    error.addSuppressed(f.cause);
                }
            }
            return error;
        }
    }

    /**
     * A JDK that denies native access (24 and later, under
     * {@code --illegal-native-access=deny}, and by default in a later one)
     * throws IllegalCallerException from every load: no other place can
     * work, so say at once which flag lets this code in.
     */
    private static RuntimeException denied(RuntimeException e) {
        if (!e.getClass().getName().equals("java.lang.IllegalCallerException")) {
            throw e;
        }
        String module = moduleName();
        String flag = "--enable-native-access=" + (module == null ? "ALL-UNNAMED" : module);
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("ruvek cannot load its native library: this JVM denies "
                + "native access to " + (module == null ? "the class path" : "the module " + module) + "; start it with "
                + flag + (module == null ? " (an executable jar's manifest says Enable-Native-Access: ALL-UNNAMED)" : "")
                + ". The JVM said: " + e.getMessage());
        error.initCause(e);
        throw error;
    }

    /**
     * The name of the module ruvek's classes are in; by reflection, since
     * they are built for Java 8.
     *
     * @return the module's name, or null on the class path (and before Java 9, which has none)
     */
    public static String moduleName() {
        try {
            Object module = Class.class.getMethod("getModule").invoke(NativeLoader.class);
            return (String) module.getClass().getMethod("getName").invoke(module);
        } catch (ReflectiveOperationException | RuntimeException e) {
            return null;
        }
    }

    /** Why a path from a property can't be used: its name was lost when Java decoded it. */
    private static String unspellable(InvalidPathException e) {
        return "Java cannot spell " + e.getInput() + " in this system's file name encoding (sun.jnu.encoding "
                + System.getProperty("sun.jnu.encoding") + "); a UTF-8 locale such as LC_ALL=C.UTF-8 can";
    }

    /**
     * A user name fit for a folder name: anything odd becomes '_'.
     *
     * @param user a user name, or null
     * @return the name with anything odd replaced, or "user" when nothing fit is left
     */
    public static String safeName(String user) {
        // By hand, not by a pattern, whose first compiling costs a start milliseconds.
        StringBuilder b = new StringBuilder(user == null ? "" : user);
        for (int i = 0; i < b.length(); i++) {
            char c = b.charAt(i);
            if (!(c >= 'A' && c <= 'Z' || c >= 'a' && c <= 'z' || c >= '0' && c <= '9' || c == '.' || c == '_' || c == '-')) {
                b.setCharAt(i, '_');
            }
        }
        String s = b.toString();
        if (s.isEmpty() || s.equals(".") || s.equals("..")) {
            return "user";
        }
        return s.length() > 64 ? s.substring(0, 64) : s;
    }

    /** NoSuchFileException and its kin say only the path: keep their name too. */
    private static String message(Throwable e) {
        return e.getClass() == IOException.class || e instanceof Error
                ? String.valueOf(e.getMessage()) : e.getClass().getSimpleName() + ": " + e.getMessage();
    }
}
