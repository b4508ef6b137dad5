/** Run in a second JVM: tries to open a port and prints whether it could. */
public class PortProbe {
    public static void main(String[] args) {
        SerialPort port = new SerialPort();
        boolean opened = port.init(Integer.parseInt(args[0]), 9600);
        System.out.println(opened);
        port.close();
    }
}
