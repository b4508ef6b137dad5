// Whether another user could change a place the native is loaded from, and whether a mount lets it run.
package ruvek.internal;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.Map;
import java.util.Set;

/**
 * The loader's checks of folders and files: whoever else could write one
 * could swap the native between our checks and the load, and run code as us.
 */
final class SafePlaces {
    /** Whether the file system says who owns and may write a file; on Windows it does not. */
    static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");

    private SafePlaces() {}

    /**
     * A place's owner and mode bits, its link not followed. The owner is a
     * number: naming it costs a look-up in the user database, done only for
     * a message.
     */
    private static final class Stat {
        static final int TYPE = 0170000, FOLDER = 0040000, LINK = 0120000;
        final Path path;
        final int uid;
        final int mode;

        Stat(Path path) throws IOException {
            this.path = path;
            Map<String, Object> a = Files.readAttributes(path, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
            uid = (Integer) a.get("uid");
            mode = (Integer) a.get("mode");
        }

        boolean isFolder() {
            return (mode & TYPE) == FOLDER;
        }

        /** Whether the group or others may write it. */
        boolean othersMayWrite() {
            return (mode & 0022) != 0;
        }

        String owner() {
            try {
                return Files.getOwner(path, LinkOption.NOFOLLOW_LINKS).getName();
            } catch (IOException | RuntimeException e) {
                return "user " + uid;
            }
        }

        String writableByOthers() {
            StringBuilder rwx = new StringBuilder();
            for (int bit = 8; bit >= 0; bit--)
                rwx.append((mode >> bit & 1) == 0 ? '-' : "xwr".charAt(bit % 3));
            return "can be written by other users (" + rwx + ")";
        }
    }

    /**
     * Checks every folder from {@code dir} up to the root: each must belong
     * to root or to this user, and be writable by no one else unless it is
     * sticky. Whoever else could write one could rename what lies under it,
     * and swap the native between our checks and the load.
     */
    static void trustFolders(Path dir) throws IOException {
        int me = me();
        for (Path p = dir; p != null; p = p.getParent()) {
            Stat a = new Stat(p);
            if (!a.isFolder()) {
                throw new IOException(p + " is not a folder (" + ((a.mode & Stat.TYPE) == Stat.LINK ? "a link" : "a file") + ")");
            }
            if (a.uid != 0 && a.uid != me) {
                throw new IOException(p + " belongs to " + a.owner() + ", who could swap what lies under it");
            }
            if (a.othersMayWrite() && (a.mode & 01000) == 0) {
                throw new IOException(p + " " + a.writableByOthers() + " and is not sticky, so they could swap what lies under it");
            }
        }
    }

    /**
     * Why others could change {@code file}; null when they can't, or on file
     * systems without owners. It must belong to this user (or to root, unless
     * {@code onlyMine}) and be writable by no one else.
     */
    static String untrusted(Path file, boolean onlyMine) throws IOException {
        if (!POSIX) {
            return null;
        }
        Stat a = new Stat(file);
        int me = me();
        if (a.uid != me && (onlyMine || a.uid != 0)) {
            return notMine(a.owner(), me);
        }
        return a.othersMayWrite() ? a.writableByOthers() : null;
    }

    /**
     * Creates {@code dir} for the owner alone, or checks that the existing one
     * is a real folder that no one else can write to: another user who could
     * swap the file between its check and its load would run code as us.
     */
    static void privateDir(Path dir) throws IOException {
        if (!POSIX) {
            // The per-user temp and local app data folders already keep other users out.
            Files.createDirectories(dir.getParent().toRealPath().resolve(dir.getFileName()));
            if (Files.isSymbolicLink(dir) || !Files.isDirectory(dir)) {
                throw new IOException(dir + " is not a folder");
            }
            return;
        }
        if (!Files.exists(dir, LinkOption.NOFOLLOW_LINKS)) {
            try {
                Files.createDirectory(dir, ownerOnly());
            } catch (java.nio.file.FileAlreadyExistsException raced) {
                // another JVM made it: checked below like any other
            }
        }
        Stat a = new Stat(dir);
        if (!a.isFolder()) {
            throw new IOException(dir + " is not a folder");
        }
        int me = me();
        if (a.uid != me) {
            throw new IOException(dir + " " + notMine(a.owner(), me));
        }
        if (a.othersMayWrite()) {
            throw new IOException(dir + " " + a.writableByOthers());
        }
    }

    /** rwx------, for the folders the loader makes. */
    static FileAttribute<Set<PosixFilePermission>> ownerOnly() {
        return PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
    }

    private static String notMine(String owner, int me) {
        String mine;
        try {
            mine = Files.getOwner(Paths.get("/proc/self")).getName();
        } catch (IOException | RuntimeException e) {
            mine = "user " + me;
        }
        return "belongs to " + owner + ", not to " + mine;
    }

    /**
     * This process's user: /proc/self belongs to it even when the user has
     * no name (a container's bare uid), where user.name is "?".
     */
    private static int me() throws IOException {
        return (Integer) Files.getAttribute(Paths.get("/proc/self"), "unix:uid");
    }

    /**
     * Says so when {@code path} lies on a file system mounted noexec, where no
     * native can be mapped; null when it does not or when that can't be told.
     * The longest mount point that holds the path wins; of equal ones, the last.
     */
    static String noexec(Path path) {
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
}
