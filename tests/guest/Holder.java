// A second process that opens a line and holds it until its input ends: the other side of exclusive access.
package ruvek.guest;

import ruvek.SerialLine;
import ruvek.SerialPortException;

/**
 * Usage: Holder DEVICE. Prints "opened" and holds the line until standard
 * input ends, or prints the exception's class and message and exits 1.
 */
public final class Holder {
    private Holder() {}

    public static void main(String[] args) throws Exception {
        SerialLine line;
        try {
            line = SerialLine.open(args[0], 9600);
        } catch (SerialPortException e) {
            System.out.println(e.getClass().getName() + ": " + e.getMessage());
            System.exit(1);
            return;
        }
        System.out.println("opened");
        System.out.flush();
        while (System.in.read() >= 0) {
            // held until the input ends
        }
        line.close();
    }
}
