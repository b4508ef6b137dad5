// A child JVM's side of LoaderTest: loads the native and says from where.
import java.io.File;
import java.net.URL;
import java.net.URLClassLoader;

/**
 * Run in a child JVM by LoaderTest. "load [PORT]": loads the native, prints
 * the file it came from, then whether PORT opened. "twice JAR": defines
 * SerialPort through two class loaders and prints how the second fared.
 */
public class LoaderProbe {
    public static void main(String[] args) throws Exception {
        if (args[0].equals("twice")) {
            URL jar = new File(args[1]).toURI().toURL();
            ClassLoader parent = ClassLoader.getSystemClassLoader().getParent();
            try (URLClassLoader one = new URLClassLoader(new URL[] {jar}, parent);
                 URLClassLoader two = new URLClassLoader(new URL[] {jar}, parent)) {
                Class.forName("SerialPort", true, one);
                System.out.println(System.getProperty("ruvek.native.loaded"));
                try {
                    Class.forName("SerialPort", true, two);
                    System.out.println("loaded twice");
                } catch (UnsatisfiedLinkError refused) {
                    System.out.println("refused: " + refused.getMessage());
                }
            }
            return;
        }
        SerialPort port = new SerialPort();
        System.out.println(System.getProperty("ruvek.native.loaded"));
        if (args.length > 1) {
            System.out.println(port.init(Integer.parseInt(args[1]), 9600));
            port.close();
        }
    }
}
