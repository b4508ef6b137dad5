// The line's contract over rfc2217://, through Debian's ser2net to a socat pty whose far end the test works.
package com.example;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import ruvek.LineSettings;
import ruvek.SerialLine;

class Rfc2217LineContractTest extends LineContract {
    Rfc2217LineTest.Ser2net server;

    @BeforeEach
    void serve() {
        Rfc2217LineTest.assumeSer2net();
    }

    @AfterEach
    void stop() throws Exception {
        if (server != null)
            server.close();
    }

    /** A fresh ser2net and null-modem for each line asked for. */
    @Override SerialLine line() throws Exception {
        stop();
        server = new Rfc2217LineTest.Ser2net(66);
        server.cable.openUnread();
        return SerialLine.open(server.name(), LineSettings.of(115200));
    }

    @Override void farWrite(byte[] b) throws Exception {
        server.cable.write(b);
    }

    @Override byte[] farReceive(int n) throws Exception {
        return server.cable.receive(n);
    }

    /** ser2net killed: the connection drops, as a server that goes. */
    @Override void farGoes() throws Exception {
        server.process.destroyForcibly();
    }
}
