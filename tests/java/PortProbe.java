// A second JVM's side of SerialPortTest: opens a port, maybe holds it.
/**
 * Run in a second JVM: tries to open a port and prints whether it could.
 * With "hold", keeps the port open until its standard input ends.
 */
public class PortProbe {
    public static void main(String[] args) throws Exception {
        SerialPort port = new SerialPort();
        boolean opened = port.init(Integer.parseInt(args[0]), 9600);
        System.out.println(opened);
        System.out.flush();
        if (args.length > 1 && args[1].equals("hold")) {
            while (System.in.read() >= 0) {
                // hold the port until told to let go
            }
        }
        port.close();
    }
}
