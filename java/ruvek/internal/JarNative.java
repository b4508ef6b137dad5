// The native library that the jar carries for this platform: its name, bytes and hash.
package ruvek.internal;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.net.JarURLConnection;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLConnection;
import java.nio.charset.StandardCharsets;
import java.security.CodeSource;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

/**
 * One native of the jar's {@code natives/<platform>/}. Its bytes are read
 * only when a copy must be written or compared: a start that finds its
 * copy in the cache reads nothing of it.
 */
final class JarNative {
    /** Its file name, such as ruvek.dll or libruvek.so. */
    final String file;
    /** The first 16 hex digits of its SHA-256: the name of its cache folder. */
    final String folder;
    /**
     * Its length and CRC-32 as the jar's directory lists them, which describe
     * the bytes themselves; null when it lies in no jar (a folder of classes).
     */
    final Identity identity;
    private final String entry;
    private byte[] bytes;

    static final class Identity {
        final long size;
        final long crc;

        Identity(long size, long crc) {
            this.size = size;
            this.crc = crc;
        }
    }

    private JarNative(String file, String entry, String hash, Identity identity, byte[] bytes) {
        this.file = file;
        this.entry = entry;
        this.folder = hash.substring(0, 16);
        this.identity = identity;
        this.bytes = bytes;
    }

    /**
     * The jar's native for a platform folder; null when the jar has none (or
     * platform is null). Copy n above 1 is cached as {@code <name>-<n>}, for
     * the n-th class loader that loads it.
     */
    static JarNative of(String library, int copy, String platform, Os os) {
        if (platform == null) {
            return null;
        }
        String file = os == Os.WINDOWS ? library + ".dll" : "lib" + library + ".so";
        String entry = "/natives/" + platform + "/" + file;
        int dot = file.lastIndexOf('.');
        String cached = copy == 1 ? file : file.substring(0, dot) + "-" + copy + file.substring(dot);
        // Straight from the jar these classes came from, when they did: a
        // class loader's search for a resource starts in the JDK's modules,
        // a cost a start need not pay.
        File jar = ownJar();
        if (jar != null) {
            try (JarFile j = new JarFile(jar, false)) {
                JarEntry e = j.getJarEntry(entry.substring(1));
                if (e == null) {
                    return null;
                }
                String hash = storedHash(j, entry.substring(1) + ".sha256");
                if (hash != null && e.getSize() >= 0 && e.getCrc() >= 0) {
                    return new JarNative(cached, entry, hash, new Identity(e.getSize(), e.getCrc()), null);
                }
            } catch (IOException | RuntimeException e) {
                // read as a resource, below
            }
        }
        URL url = JarNative.class.getResource(entry);
        if (url == null) {
            return null;
        }
        Identity identity = identityOf(url);
        byte[] stored = resource(entry + ".sha256");
        String hash = stored == null ? null : hexOf(stored);
        if (hash != null && identity != null) {
            return new JarNative(cached, entry, hash, identity, null);
        }
        byte[] bytes = resource(entry);
        return bytes == null ? null : new JarNative(cached, entry, hash != null ? hash : digest(bytes), identity, bytes);
    }

    /** The jar file that holds this class, or null when it came from elsewhere. */
    private static File ownJar() {
        if (HostNative.inBundle()) {
            // A bundle's code source is its location, which need not hold what the framework installed.
            return null;
        }
        try {
            CodeSource source = JarNative.class.getProtectionDomain().getCodeSource();
            URL at = source == null ? null : source.getLocation();
            if (at == null || !at.getProtocol().equals("file") || !at.getPath().endsWith(".jar")) {
                return null;
            }
            File f = new File(at.toURI());
            return f.isFile() ? f : null;
        } catch (URISyntaxException | RuntimeException e) {
            return null;
        }
    }

    private static String storedHash(JarFile jar, String name) throws IOException {
        JarEntry e = jar.getJarEntry(name);
        if (e == null || e.getSize() > 256) {
            return null;
        }
        try (InputStream in = jar.getInputStream(e)) {
            return hexOf(readAll(in));
        }
    }

    /** Its bytes, read from the jar on first use. */
    byte[] bytes() throws IOException {
        if (bytes == null) {
            byte[] read = resource(entry);
            if (read == null || (identity != null && read.length != identity.size)) {
                throw new IOException("the jar's " + entry + " cannot be read whole");
            }
            bytes = read;
        }
        return bytes;
    }

    private static Identity identityOf(URL url) {
        try {
            URLConnection c = url.openConnection();
            if (!(c instanceof JarURLConnection)) {
                return null;
            }
            JarEntry e = ((JarURLConnection) c).getJarEntry();
            return e.getSize() < 0 || e.getCrc() < 0 ? null : new Identity(e.getSize(), e.getCrc());
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static byte[] resource(String name) {
        try (InputStream in = JarNative.class.getResourceAsStream(name)) {
            return in == null ? null : readAll(in);
        } catch (IOException e) {
            return null;
        }
    }

    private static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buf = new byte[65536];
        for (int n; (n = in.read(buf)) > 0; ) {
            out.write(buf, 0, n);
        }
        return out.toByteArray();
    }

    /**
     * The native's SHA-256 in hex as the build stores it beside the native,
     * which spares each JVM start the digest; null when it is not one. A
     * wrong one could only misname the folder: a copy is known by the jar's
     * own length and CRC of the bytes, or compared whole.
     */
    private static String hexOf(byte[] stored) {
        if (stored.length < 64) {
            return null;
        }
        for (int i = 0; i < 64; i++) {
            if (Character.digit(stored[i], 16) < 0 || Character.isUpperCase(stored[i])) {
                return null;
            }
        }
        String rest = new String(stored, 64, stored.length - 64, StandardCharsets.US_ASCII);
        return rest.trim().isEmpty() ? new String(stored, 0, 64, StandardCharsets.US_ASCII) : null;
    }

    private static String digest(byte[] bytes) {
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
}
