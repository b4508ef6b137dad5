import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.concurrent.ThreadLocalRandom;

/**
 * Finds and loads SerialPort's native library, once per process.
 *
 * <p>Places, in order: the file or folder named by the system property
 * {@code ruvek.library.path} (then nothing else); the jar's native, extracted
 * once into a per-user cache folder under {@code java.io.tmpdir} keyed by its
 * SHA-256; the same cache under the user's home when the temp directory is
 * missing, read-only, noexec, unsafe or has a name Java can't spell;
 * {@code System.loadLibrary("ruvek")}. Nothing is loaded from a place that
 * another user could change.
 */
final class NativeLoader {
    /** Names the file loaded in this process; set once a load succeeds. */
    static final String LOADED = "ruvek.native.loaded";
    static final String OVERRIDE = "ruvek.library.path";

    private static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");

    private NativeLoader() {}

    /**
     * @param platform the jar's folder for this OS and architecture, or null
     * @param os the running os.name, for messages
     * @param arch the running os.arch, for messages
     */
    static void load(String platform, String os, String arch) {
        // Two class loaders may initialise SerialPort at once: the claim must be atomic.
        // String literals are one object per JVM, whichever loader defined the class.
        synchronized (LOADED) {
            String loaded = System.getProperty(LOADED);
            if (loaded != null) {
                throw new UnsatisfiedLinkError("ruvek's native library is already loaded in this process ("
                        + loaded + "), through another class loader; a second copy would hold a second port. "
                        + "Load SerialPort through one class loader only");
            }
            System.setProperty(LOADED, find(platform, os, arch));
        }
    }

    /** Loads the native from the first place that works and returns its path. */
    private static String find(String platform, String os, String arch) {
        String override = System.getProperty(OVERRIDE);
        if (override != null) {
            return loadOverride(override);
        }
        String file = platform != null && platform.startsWith("windows") ? "ruvek.dll" : "libruvek.so";
        List<String> tried = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();
        String entry = "/natives/" + platform + "/" + file;
        byte[] bytes = platform == null ? null : resource(entry);
        if (bytes == null) {
            tried.add("the jar: it has no native library for " + os + " on " + arch + " (os.name, os.arch)");
        } else {
            String hash = hashOf(entry, bytes);
            for (boolean inHome : new boolean[] {false, true}) {
                String where = inHome ? "the home folder" : "java.io.tmpdir";
                Path cache;
                try {
                    cache = inHome ? homeCache(os) : tempCache();
                } catch (InvalidPathException e) {
                    tried.add("a cache in " + where + ": " + unspellable(e));
                    continue;
                }
                if (cache == null) {
                    tried.add("a cache in " + where + ": there is none ("
                            + (inHome ? "user.home " + System.getProperty("user.home") : "java.io.tmpdir is empty") + ")");
                    continue;
                }
                Path target = cache.resolve(hash.substring(0, 16)).resolve(file);
                try {
                    target = extract(cache, file, hash.substring(0, 16), bytes, inHome);
                    System.load(target.toString());
                    return target.toString();
                } catch (IOException | UnsatisfiedLinkError | SecurityException | InvalidPathException e) {
                    String noexec = noexec(target);
                    tried.add(target + " (cache in " + where + "): " + (noexec != null ? noexec : message(e)));
                    causes.add(e);
                }
            }
        }
        try {
            System.loadLibrary("ruvek");
            return libraryPathFile();
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add("System.loadLibrary(\"ruvek\") on java.library.path ("
                    + System.getProperty("java.library.path") + "): " + message(e));
            causes.add(e);
        }
        StringBuilder text = new StringBuilder("ruvek cannot load its native library for " + os + " on " + arch
                + " (os.name, os.arch); set " + OVERRIDE + " to the file or its folder. Tried:");
        for (String t : tried) {
            text.append("\n  ").append(t);
        }
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(text.toString());
        for (Throwable c : causes) {
            error.addSuppressed(c);
        }
        throw error;
    }

    /** <tmp>/ruvek-<user>; null without a temp directory. */
    private static Path tempCache() {
        String tmp = System.getProperty("java.io.tmpdir");
        return tmp == null || tmp.isEmpty() ? null
                : Paths.get(tmp, "ruvek-" + safeName(System.getProperty("user.name"))).toAbsolutePath();
    }

    /** Why a path from a property can't be used: its name was lost when Java decoded it. */
    private static String unspellable(InvalidPathException e) {
        return "Java cannot spell " + e.getInput() + " in this system's file name encoding (sun.jnu.encoding "
                + System.getProperty("sun.jnu.encoding") + "); a UTF-8 locale such as LC_ALL=C.UTF-8 can";
    }

    /**
     * The user's own native: used alone, so a wrong path fails instead of
     * loading another. Loaded by its real path, after checking that nobody
     * else could change the file or any folder on the way to it.
     */
    private static String loadOverride(String value) {
        if (value.isEmpty()) {
            throw new UnsatisfiedLinkError(OVERRIDE + " is set but empty: set it to ruvek's native library or the "
                    + "folder that holds it, or leave it unset");
        }
        File file = new File(value);
        if (file.isDirectory()) {
            file = new File(file, System.mapLibraryName("ruvek"));
        }
        String reason;
        Throwable cause = null;
        try {
            Path given = file.toPath().toAbsolutePath();
            Path real = given.toRealPath();
            if (!Files.isRegularFile(real)) {
                throw new IOException("not a file");
            }
            if (POSIX) {
                // Each folder the name is looked up in, links followed: whoever could change one could
                // point the name at another file before we resolve it.
                for (Path p = given.getParent(); p != null; p = p.getParent()) {
                    trustFolders(p.toRealPath());
                }
                trustFolders(real.getParent());
            }
            String untrusted = untrusted(real, false);
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
            String noexec = noexec(file.toPath());
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

    /**
     * Makes {@code <cache>/<folder>/<file>} hold exactly {@code bytes} and
     * returns it by its real path: kept when it does, else written under a
     * temporary name and renamed into place, so a JVM starting at the same
     * moment never sees half a file.
     */
    private static Path extract(Path cache, String file, String folder, byte[] bytes, boolean makeParents)
            throws IOException {
        if (!Files.exists(cache.resolve(folder), LinkOption.NOFOLLOW_LINKS)) {
            String noexec = noexec(cache);
            if (noexec != null) {
                throw new IOException(noexec); // nothing written where it could never load
            }
        }
        Path parent = cache.getParent();
        if (POSIX) {
            // The real folders, so that the load follows no link that someone could change after the checks.
            parent = realFolder(parent);
            if (makeParents && !Files.exists(parent, LinkOption.NOFOLLOW_LINKS)) {
                Path existing = parent;
                while (!Files.exists(existing, LinkOption.NOFOLLOW_LINKS)) {
                    existing = existing.getParent();
                }
                trustFolders(existing);
            }
        }
        if (makeParents) {
            createFolders(parent); // ~/.cache, but never a missing temp directory
        }
        if (POSIX) {
            trustFolders(parent);
        }
        cache = parent.resolve(cache.getFileName());
        Path target = cache.resolve(folder).resolve(file);
        privateDir(cache);
        privateDir(target.getParent());
        if (holds(target, bytes)) {
            return target;
        }
        removeStaleParts(target);
        Path part = newPart(target);
        try {
            try (OutputStream out = Files.newOutputStream(part)) {
                out.write(bytes);
            }
            try {
                Files.move(part, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows will not replace a DLL that another JVM has just loaded: that one is whole.
                if (!holds(target, bytes)) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(part);
        }
        return target;
    }

    /**
     * A new empty file beside {@code target}, for the owner alone. Not
     * Files.createTempFile: that fails for good in a JVM whose
     * java.io.tmpdir it can't spell, even for a file elsewhere.
     */
    private static Path newPart(Path target) throws IOException {
        while (true) {
            Path part = target.resolveSibling(target.getFileName() + "."
                    + Long.toUnsignedString(ThreadLocalRandom.current().nextLong()) + ".part");
            try {
                return POSIX ? Files.createFile(part, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString("rw-------"))) : Files.createFile(part);
            } catch (java.nio.file.FileAlreadyExistsException taken) {
                // another JVM's: draw again
            }
        }
    }

    /** Creates the missing folders of {@code dir}, for the owner alone where the file system says who may write. */
    private static void createFolders(Path dir) throws IOException {
        if (POSIX) {
            Files.createDirectories(dir, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        } else {
            Files.createDirectories(dir);
        }
    }

    /**
     * {@code dir} with every link in the part that exists resolved; the
     * missing rest is appended as it is.
     */
    private static Path realFolder(Path dir) throws IOException {
        Path head = dir;
        Path rest = null;
        while (head.getParent() != null && !Files.exists(head, LinkOption.NOFOLLOW_LINKS)) {
            rest = rest == null ? head.getFileName() : head.getFileName().resolve(rest);
            head = head.getParent();
        }
        Path real = head.toRealPath();
        return rest == null ? real : real.resolve(rest);
    }

    /**
     * Checks every folder from {@code dir} up to the root: each must belong
     * to root or to this user, and be writable by no one else unless it is
     * sticky. Whoever else could write one could rename what lies under it,
     * and swap the native between our checks and the load.
     */
    private static void trustFolders(Path dir) throws IOException {
        String me = me();
        for (Path p = dir; p != null; p = p.getParent()) {
            PosixFileAttributes a = Files.readAttributes(p, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            if (!a.isDirectory()) {
                throw new IOException(p + " is not a folder (" + (a.isSymbolicLink() ? "a link" : "a file") + ")");
            }
            String owner = a.owner().getName();
            if (!owner.equals("root") && !owner.equals(me)) {
                throw new IOException(p + " belongs to " + owner + ", who could swap what lies under it");
            }
            Set<PosixFilePermission> perms = a.permissions();
            if ((perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE))
                    && !sticky(p)) {
                throw new IOException(p + " can be written by other users (" + PosixFilePermissions.toString(perms)
                        + ") and is not sticky, so they could swap what lies under it");
            }
        }
    }

    /**
     * Why others could change {@code file}; null when they can't, or on file
     * systems without owners. It must belong to this user (or to root, unless
     * {@code onlyMine}) and be writable by no one else.
     */
    private static String untrusted(Path file, boolean onlyMine) throws IOException {
        if (!POSIX) {
            return null;
        }
        PosixFileAttributes a = Files.readAttributes(file, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        String owner = a.owner().getName();
        String me = me();
        if (!owner.equals(me) && (onlyMine || !owner.equals("root"))) {
            return "belongs to " + owner + ", not to " + me;
        }
        Set<PosixFilePermission> perms = a.permissions();
        if (perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE)) {
            return "can be written by other users (" + PosixFilePermissions.toString(perms) + ")";
        }
        return null;
    }

    /** Whether the folder's sticky bit is set: then others may add to it, but not rename or remove what is ours. */
    private static boolean sticky(Path dir) {
        try {
            return (((Number) Files.getAttribute(dir, "unix:mode", LinkOption.NOFOLLOW_LINKS)).intValue() & 01000) != 0;
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return false; // can't tell: not trusted
        }
    }

    /**
     * Deletes what JVMs killed while writing left behind. A write takes
     * milliseconds, so a part an hour old is no one's.
     */
    private static void removeStaleParts(Path target) throws IOException {
        long hourAgo = System.currentTimeMillis() - 3600_000;
        String glob = target.getFileName() + ".*.part";
        try (DirectoryStream<Path> parts = Files.newDirectoryStream(target.getParent(), glob)) {
            for (Path part : parts) {
                if (Files.getLastModifiedTime(part, LinkOption.NOFOLLOW_LINKS).toMillis() < hourAgo) {
                    Files.deleteIfExists(part);
                }
            }
        }
    }

    /**
     * True when {@code file} is a regular file of this user's, that no one
     * else can write, holding exactly the jar's bytes. Anything else is
     * replaced: a file with the right bytes that another user could still
     * change is not to be loaded.
     */
    private static boolean holds(Path file, byte[] bytes) throws IOException {
        return Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS) && untrusted(file, true) == null
                && Files.size(file) == bytes.length && Arrays.equals(Files.readAllBytes(file), bytes);
    }

    /**
     * Creates {@code dir} for the owner alone, or checks that the existing one
     * is a real folder that no one else can write to: another user who could
     * swap the file between its check and its load would run code as us.
     */
    private static void privateDir(Path dir) throws IOException {
        if (POSIX) {
            FileAttribute<Set<PosixFilePermission>> owner =
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
            if (!Files.exists(dir, LinkOption.NOFOLLOW_LINKS)) {
                try {
                    Files.createDirectory(dir, owner);
                } catch (java.nio.file.FileAlreadyExistsException raced) {
                    // another JVM made it: checked below like any other
                }
            }
            PosixFileAttributes a = Files.readAttributes(dir, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            Set<PosixFilePermission> p = a.permissions();
            if (!a.isDirectory()) {
                throw new IOException(dir + " is not a folder");
            }
            String me = me();
            if (!a.owner().getName().equals(me)) {
                throw new IOException(dir + " belongs to " + a.owner().getName() + ", not to " + me);
            }
            if (p.contains(PosixFilePermission.GROUP_WRITE) || p.contains(PosixFilePermission.OTHERS_WRITE)) {
                throw new IOException(dir + " can be written by other users ("
                        + PosixFilePermissions.toString(p) + ")");
            }
        } else {
            // The per-user temp and local app data folders already keep other users out.
            Files.createDirectories(dir.getParent().toRealPath().resolve(dir.getFileName()));
            if (Files.isSymbolicLink(dir) || !Files.isDirectory(dir)) {
                throw new IOException(dir + " is not a folder");
            }
        }
    }

    /**
     * This process's user as the file system names owners. /proc/self belongs
     * to it even when the user has no name (a container's bare uid), where
     * user.name is "?".
     */
    private static String me() throws IOException {
        Path self = Paths.get("/proc/self");
        return Files.exists(self) ? Files.getOwner(self).getName() : System.getProperty("user.name");
    }

    /**
     * ~/.cache/ruvek (or $XDG_CACHE_HOME/ruvek); %LOCALAPPDATA%\ruvek on
     * Windows. Null when the home (or that variable's folder) is missing:
     * creating a home is not ours to do.
     */
    private static Path homeCache(String os) {
        String home = System.getProperty("user.home", "");
        Path anchor;
        Path cache;
        if (os.toLowerCase(Locale.ROOT).startsWith("windows")) {
            String local = System.getenv("LOCALAPPDATA");
            anchor = Paths.get(local != null && !local.isEmpty() ? local : home);
            cache = local != null && !local.isEmpty() ? anchor.resolve("ruvek") : anchor.resolve("AppData/Local/ruvek");
        } else {
            String xdg = System.getenv("XDG_CACHE_HOME");
            boolean useXdg = xdg != null && xdg.startsWith("/");
            anchor = Paths.get(useXdg ? xdg : home);
            cache = useXdg ? anchor.resolve("ruvek") : anchor.resolve(".cache/ruvek");
        }
        return anchor.isAbsolute() && Files.isDirectory(anchor) ? cache.toAbsolutePath() : null;
    }

    /**
     * Says so when {@code path} lies on a file system mounted noexec, where no
     * native can be mapped; null when it does not or when that can't be told.
     * The longest mount point that holds the path wins; of equal ones, the last.
     */
    private static String noexec(Path path) {
        Path mounts = Paths.get("/proc/self/mounts");
        if (!Files.isReadable(mounts)) {
            return null;
        }
        try {
            Path p = path.toAbsolutePath().normalize();
            while (p != null && !Files.exists(p)) {
                p = p.getParent();
            }
            if (p == null) {
                return null;
            }
            p = p.toRealPath();
            String best = null;
            boolean bestNoexec = false;
            for (String line : Files.readAllLines(mounts, StandardCharsets.UTF_8)) {
                String[] f = line.split(" ");
                if (f.length < 4) {
                    continue;
                }
                String point = unescape(f[1]);
                if (p.startsWith(point) && (best == null || point.length() >= best.length())) {
                    best = point;
                    bestNoexec = Arrays.asList(f[3].split(",")).contains("noexec");
                }
            }
            return bestNoexec ? best + " is mounted noexec: no native can be mapped from it" : null;
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    /** Mount points escape space, tab, newline and backslash as \ooo. */
    private static String unescape(String s) {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' && i + 4 <= s.length() && s.substring(i + 1, i + 4).matches("[0-7]{3}")) {
                out.append((char) Integer.parseInt(s.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }

    /** Where System.loadLibrary most likely found the native, for the marker. */
    private static String libraryPathFile() {
        String name = System.mapLibraryName("ruvek");
        String path = System.getProperty("java.library.path", "");
        for (String dir : path.split(File.pathSeparator)) {
            File f = new File(dir.isEmpty() ? "." : dir, name);
            if (f.isFile()) {
                return f.getAbsolutePath();
            }
        }
        return name;
    }

    private static byte[] resource(String name) {
        try (InputStream in = NativeLoader.class.getResourceAsStream(name)) {
            if (in == null) {
                return null;
            }
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buf = new byte[65536];
            for (int n; (n = in.read(buf)) > 0; ) {
                out.write(buf, 0, n);
            }
            return out.toByteArray();
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * The native's SHA-256 in hex: the build stores it beside the native,
     * which spares each JVM start the digest; computed when it is missing.
     * A wrong one could only misname the folder: the content is compared whole.
     */
    private static String hashOf(String entry, byte[] bytes) {
        byte[] stored = resource(entry + ".sha256");
        if (stored != null) {
            String hex = new String(stored, StandardCharsets.US_ASCII).trim();
            if (hex.matches("[0-9a-f]{64}")) {
                return hex;
            }
        }
        try {
            StringBuilder hex = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
                hex.append(Character.forDigit((b >> 4) & 0xF, 16)).append(Character.forDigit(b & 0xF, 16));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java platform has SHA-256", e);
        }
    }

    /** A user name fit for a folder name: anything odd becomes '_'. */
    static String safeName(String user) {
        String s = user == null ? "" : user.replaceAll("[^A-Za-z0-9._-]", "_");
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
