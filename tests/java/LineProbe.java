// A second JVM's side of LineFaultTest: opens a line and prints the outcome.
import ruvek.SerialLine;

/** Run in a second JVM, maybe as another user: opens a line and prints the outcome. */
public class LineProbe {
    public static void main(String[] args) {
        try (SerialLine line = SerialLine.open(Integer.parseInt(args[0]), 9600)) {
            System.out.println("opened " + line.device());
        } catch (Exception e) {
            System.out.println(e.getClass().getName() + ": " + e.getMessage());
        }
    }
}
