// The line's contract over socket://, whose far end is a loopback server's side of the connection.
package com.example;

import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import ruvek.SerialLine;

class SocketLineContractTest extends LineContract {
    ServerSocket server;
    Socket far;

    @AfterEach
    void hangUp() throws Exception {
        if (far != null)
            far.close();
        if (server != null)
            server.close();
    }

    /** A fresh connection for each line asked for: the far end is the server's side of it. */
    @Override SerialLine line() throws Exception {
        hangUp();
        server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
        CompletableFuture<Socket> accepted = CompletableFuture.supplyAsync(() -> {
            try {
                return server.accept();
            } catch (Exception e) {
                throw new RuntimeException(e);
            }
        });
        SerialLine line = SerialLine.open("socket://127.0.0.1:" + server.getLocalPort(), 115200);
        far = accepted.get(30, TimeUnit.SECONDS);
        return line;
    }

    @Override void farWrite(byte[] b) throws Exception {
        far.getOutputStream().write(b);
    }

    @Override byte[] farReceive(int n) throws Exception {
        byte[] got = new byte[n];
        InputStream in = far.getInputStream();
        for (int k = 0, r; k < n; k += r)
            if ((r = in.read(got, k, n - k)) < 0)
                throw new java.io.EOFException("the line hung up after " + k + " bytes");
        return got;
    }

    @Override void farGoes() throws Exception {
        far.close();
    }
}
