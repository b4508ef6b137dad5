// One owner per real tty: other processes are refused, as root and as nobody, and leave the owner's lines alone.
package ruvek.guest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import ruvek.SerialLine;

@SuppressWarnings("try") // a Loop is held for its effect alone
class ExclusiveTest {
    /** A second JVM running Holder on the device, with a command in front (to change the user). */
    static Process holder(String device, String... before) throws IOException {
        List<String> command = new ArrayList<>(List.of(before));
        command.addAll(List.of(ProcessHandle.current().info().command().orElse("java"), "-XX:TieredStopAtLevel=1",
                "-XX:+UseSerialGC", "-XX:-UsePerfData", "-Djava.io.tmpdir=/tmp", "-cp",
                System.getProperty("java.class.path"), Holder.class.getName(), device));
        return new ProcessBuilder(command).redirectErrorStream(true).start();
    }

    /** What the holder says first: "opened", or why not. */
    static String firstWord(Process p) throws IOException {
        String said = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8)).readLine();
        return String.valueOf(said);
    }

    /**
     * The kernel raises DTR and RTS at every open(2) of a tty, the holder's
     * too: a refused open must never get that far. The UART's loopback shows
     * the holder's lines as DSR and CTS.
     */
    @Test
    void aSecondProcessIsRefusedAsRootAndAsNobodyAndTheHoldersLinesStayAsTheyWere() throws Exception {
        try (Loop loop = new Loop(Rig.UART); SerialLine line = SerialLine.open(Rig.UART, 9600)) {
            line.setDTR(false);
            line.setRTS(false);
            assertFalse(line.isDSR() || line.isCTS(), "the loopback shows lines that are off");

            Process root = holder(Rig.UART);
            String said = firstWord(root);
            assertTrue(root.waitFor(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS));
            assertTrue(said.startsWith("ruvek.PortBusyException: "), "as root: " + said);
            assertFalse(line.isDSR(), "the refused open raised the holder's DTR");
            assertFalse(line.isCTS(), "the refused open raised the holder's RTS");

            // Let nobody reach the device: only the hold keeps them out.
            Rig.run("chmod", "666", Rig.UART);
            try {
                Process nobody = holder(Rig.UART, "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups");
                said = firstWord(nobody);
                assertTrue(nobody.waitFor(Rig.PATIENCE_MS, TimeUnit.MILLISECONDS));
                assertTrue(said.startsWith("ruvek.PortBusyException: "), "as nobody: " + said);
            } finally {
                Rig.run("chmod", "660", Rig.UART);
            }
            assertFalse(line.isDSR() || line.isCTS(), "a refused open changed the holder's lines");
        }
    }

    @Test
    void aHolderKilledWithSigkillLeavesThePortFree() throws Exception {
        Process held = holder(Rig.ADAPTER);
        assertEquals("opened", firstWord(held));
        try {
            SerialLine.open(Rig.ADAPTER, 9600).close();
            throw new AssertionError("opened a port that another process holds");
        } catch (ruvek.PortBusyException expected) {
            assertTrue(expected.getMessage().contains("held by process " + held.pid()), expected.getMessage());
        }
        held.destroyForcibly().waitFor();
        SerialLine.open(Rig.ADAPTER, 9600).close();
    }
}
