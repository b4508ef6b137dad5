// The line's contract over a socat pty pair, through the natives.
package com.example;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import ruvek.LineSettings;
import ruvek.SerialLine;
import ruvek.testing.NullModem;

class PtyLineContractTest extends LineContract {
    Path dir;
    NullModem cable;

    @BeforeEach
    void plugIn() throws Exception {
        dir = Files.createTempDirectory("ruvek-contract");
        cable = new NullModem(dir, 65).openUnread();
    }

    @AfterEach
    void unplug() throws Exception {
        cable.close();
        NullModem.removeFolder(dir);
    }

    @Override SerialLine line() throws Exception {
        return SerialLine.open(cable.ours.toString(), LineSettings.of(115200));
    }

    @Override void farWrite(byte[] b) throws Exception {
        cable.write(b);
    }

    @Override byte[] farReceive(int n) throws Exception {
        return cable.receive(n);
    }

    @Override void farGoes() {
        cable.pull();
    }
}
