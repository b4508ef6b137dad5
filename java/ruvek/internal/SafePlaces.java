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
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
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
     * Checks every folder from {@code dir} up to the root: each must belong
     * to root or to this user, and be writable by no one else unless it is
     * sticky. Whoever else could write one could rename what lies under it,
     * and swap the native between our checks and the load.
     */
    static void trustFolders(Path dir) throws IOException {
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
            if (othersMayWrite(perms) && !sticky(p)) {
                throw new IOException(p + " " + writableByOthers(perms)
                        + " and is not sticky, so they could swap what lies under it");
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
        PosixFileAttributes a = Files.readAttributes(file, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        String owner = a.owner().getName();
        String me = me();
        if (!owner.equals(me) && (onlyMine || !owner.equals("root"))) {
            return notMine(owner, me);
        }
        Set<PosixFilePermission> perms = a.permissions();
        if (othersMayWrite(perms)) {
            return writableByOthers(perms);
        }
        return null;
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
        PosixFileAttributes a = Files.readAttributes(dir, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        Set<PosixFilePermission> p = a.permissions();
        if (!a.isDirectory()) {
            throw new IOException(dir + " is not a folder");
        }
        String me = me();
        if (!a.owner().getName().equals(me)) {
            throw new IOException(dir + " " + notMine(a.owner().getName(), me));
        }
        if (othersMayWrite(p)) {
            throw new IOException(dir + " " + writableByOthers(p));
        }
    }

    /** rwx------, for the folders the loader makes. */
    static FileAttribute<Set<PosixFilePermission>> ownerOnly() {
        return PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
    }

    private static String notMine(String owner, String me) {
        return "belongs to " + owner + ", not to " + me;
    }

    private static String writableByOthers(Set<PosixFilePermission> perms) {
        return "can be written by other users (" + PosixFilePermissions.toString(perms) + ")";
    }

    private static boolean othersMayWrite(Set<PosixFilePermission> perms) {
        return perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE);
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
     * This process's user as the file system names owners. /proc/self belongs
     * to it even when the user has no name (a container's bare uid), where
     * user.name is "?".
     */
    private static String me() throws IOException {
        Path self = Paths.get("/proc/self");
        return Files.exists(self) ? Files.getOwner(self).getName() : System.getProperty("user.name");
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
