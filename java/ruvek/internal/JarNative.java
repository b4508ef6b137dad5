// The native library that the jar carries for this platform: its name, bytes and hash.
package ruvek.internal;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/** One native of the jar's {@code natives/<platform>/}, read whole. */
final class JarNative {
    /** Its file name, such as ruvek.dll or libruvek.so. */
    final String file;
    final byte[] bytes;
    /** The first 16 hex digits of its SHA-256: the name of its cache folder. */
    final String folder;

    private JarNative(String file, byte[] bytes, String hash) {
        this.file = file;
        this.bytes = bytes;
        this.folder = hash.substring(0, 16);
    }

    /**
     * The jar's native for a platform folder; null when the jar has none (or
     * platform is null). Copy n above 1 is cached as {@code <name>-<n>}, for
     * the n-th class loader that loads it.
     */
    static JarNative of(String library, int copy, String platform, Os os) {
        String file = os == Os.WINDOWS ? library + ".dll" : "lib" + library + ".so";
        String entry = "/natives/" + platform + "/" + file;
        byte[] bytes = platform == null ? null : resource(entry);
        String cached = copy == 1 ? file : file.replaceFirst("\\.(dll|so)$", "-" + copy + ".$1");
        return bytes == null ? null : new JarNative(cached, bytes, hashOf(entry, bytes));
    }

    private static byte[] resource(String name) {
        try (InputStream in = JarNative.class.getResourceAsStream(name)) {
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
}
