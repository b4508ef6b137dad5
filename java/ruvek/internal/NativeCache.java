// The per-user cache folders the jar's native is copied into, and the copying.
package ruvek.internal;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;

/** A cache of the jar's native, in the temp directory or in the home folder. */
enum NativeCache {
    /** {@code <java.io.tmpdir>/ruvek-<user>}. */
    TEMP("java.io.tmpdir", false) {
        @Override
        Path folder(Os os) throws NoFolder {
            String tmp = System.getProperty("java.io.tmpdir");
            if (tmp == null || tmp.isEmpty()) {
                throw new NoFolder("java.io.tmpdir is empty");
            }
            return Paths.get(tmp, "ruvek-" + NativeLoader.safeName(System.getProperty("user.name"))).toAbsolutePath();
        }
    },
    /**
     * ~/.cache/ruvek (or $XDG_CACHE_HOME/ruvek); %LOCALAPPDATA%\ruvek on
     * Windows. Its missing folders are made, but never the home (or that
     * variable's folder) itself: creating a home is not ours to do.
     */
    HOME("the home folder", true) {
        @Override
        Path folder(Os os) throws NoFolder {
            String home = System.getProperty("user.home", "");
            Path anchor;
            Path cache;
            if (os == Os.WINDOWS) {
                String local = System.getenv("LOCALAPPDATA");
                anchor = Paths.get(local != null && !local.isEmpty() ? local : home);
                cache = local != null && !local.isEmpty() ? anchor.resolve("ruvek") : anchor.resolve("AppData/Local/ruvek");
            } else {
                String xdg = System.getenv("XDG_CACHE_HOME");
                boolean useXdg = xdg != null && xdg.startsWith("/");
                anchor = Paths.get(useXdg ? xdg : home);
                cache = useXdg ? anchor.resolve("ruvek") : anchor.resolve(".cache/ruvek");
            }
            if (!anchor.isAbsolute() || !Files.isDirectory(anchor)) {
                throw new NoFolder("user.home " + System.getProperty("user.home"));
            }
            return cache.toAbsolutePath();
        }
    };

    /** Where the cache is, as the loader's error names it. */
    final String where;
    /** Whether the folders above the cache may be made: ~/.cache, but never a missing temp directory. */
    private final boolean makeParents;

    NativeCache(String where, boolean makeParents) {
        this.where = where;
        this.makeParents = makeParents;
    }

    /**
     * The cache folder, which need not exist yet.
     *
     * @throws NoFolder when there is no place for it
     * @throws java.nio.file.InvalidPathException when Java can't spell its name
     */
    abstract Path folder(Os os) throws NoFolder;

    /** There is no place for a cache; the message says which setting lacks one. */
    static final class NoFolder extends Exception {
        private static final long serialVersionUID = 1L;

        NoFolder(String message) {
            super(message);
        }
    }

    /**
     * Makes {@code <cache>/<hash folder>/<file>} hold exactly the native's
     * bytes and returns it by its real path: kept when it does, else written
     * under a temporary name and renamed into place, so a JVM starting at the
     * same moment never sees half a file.
     */
    Path extract(Path cache, JarNative carried) throws IOException {
        if (!Files.exists(cache.resolve(carried.folder), LinkOption.NOFOLLOW_LINKS)) {
            String noexec = SafePlaces.noexec(cache);
            if (noexec != null) {
                throw new IOException(noexec); // nothing written where it could never load
            }
        }
        Path parent = cache.getParent();
        if (SafePlaces.POSIX) {
            // The real folders, so that the load follows no link that someone could change after the checks.
            parent = realFolder(parent);
            if (makeParents && !Files.exists(parent, LinkOption.NOFOLLOW_LINKS)) {
                Path existing = parent;
                while (!Files.exists(existing, LinkOption.NOFOLLOW_LINKS)) {
                    existing = existing.getParent();
                }
                SafePlaces.trustFolders(existing);
            }
        }
        if (makeParents) {
            createFolders(parent);
        }
        if (SafePlaces.POSIX) {
            SafePlaces.trustFolders(parent);
        }
        cache = parent.resolve(cache.getFileName());
        Path target = cache.resolve(carried.folder).resolve(carried.file);
        SafePlaces.privateDir(cache);
        SafePlaces.privateDir(target.getParent());
        if (holds(target, carried)) {
            return target;
        }
        removeStaleParts(target);
        Path part = newPart(target);
        try {
            try (OutputStream out = Files.newOutputStream(part)) {
                out.write(carried.bytes());
            }
            try {
                Files.move(part, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
                // Stamped once in place: a part's old stamp would make another JVM take it for stale.
                stamp(target, carried);
            } catch (IOException e) {
                // Windows will not replace a DLL that another JVM has just loaded: that one is whole.
                if (!holds(target, carried)) {
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
                return SafePlaces.POSIX ? Files.createFile(part, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString("rw-------"))) : Files.createFile(part);
            } catch (java.nio.file.FileAlreadyExistsException taken) {
                // another JVM's: draw again
            }
        }
    }

    /** Creates the missing folders of {@code dir}, for the owner alone where the file system says who may write. */
    private static void createFolders(Path dir) throws IOException {
        if (SafePlaces.POSIX) {
            Files.createDirectories(dir, SafePlaces.ownerOnly());
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
     * Deletes what JVMs killed while writing left behind. A write takes
     * milliseconds, so a part an hour old is no one's.
     */
    private static void removeStaleParts(Path target) throws IOException {
        long hourAgo = System.currentTimeMillis() - 3600_000;
        String glob = target.getFileName() + ".*.part";
        try (DirectoryStream<Path> parts = Files.newDirectoryStream(target.getParent(), glob)) {
            for (Path part : parts) {
                try {
                    if (Files.getLastModifiedTime(part, LinkOption.NOFOLLOW_LINKS).toMillis() < hourAgo) {
                        Files.deleteIfExists(part);
                    }
                } catch (java.nio.file.NoSuchFileException renamed) {
                    // another JVM's, just renamed into place: not stale, and no reason to give up the cache
                }
            }
        }
    }

    /**
     * Whether the file is our private, whole copy of the native. A copy this
     * loader wrote carries a modification time made of the jar's CRC of the
     * bytes, and their length: a file written since, by anything, has the
     * time of that write. Any other is compared byte for byte, and stamped
     * when it is whole, so that the next start reads nothing.
     */
    private static boolean holds(Path file, JarNative carried) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS) || SafePlaces.untrusted(file, true) != null) {
            return false;
        }
        long size = Files.size(file);
        if (carried.identity != null && size == carried.identity.size
                && Files.getLastModifiedTime(file, LinkOption.NOFOLLOW_LINKS).equals(stampOf(carried))) {
            return true;
        }
        byte[] bytes = carried.bytes();
        if (size != bytes.length || !Arrays.equals(Files.readAllBytes(file), bytes)) {
            return false;
        }
        try {
            stamp(file, carried);
        } catch (IOException e) {
            // a copy in use that Windows won't touch: compared again next time
        }
        return true;
    }

    private static void stamp(Path file, JarNative carried) throws IOException {
        if (carried.identity != null) {
            Files.setLastModifiedTime(file, stampOf(carried));
        }
    }

    private static FileTime stampOf(JarNative carried) {
        return FileTime.from(carried.identity.crc, TimeUnit.SECONDS);
    }
}
