// The line's contract over the in-memory pair, whose second end plays the far end.
package com.example;

import java.io.InputStream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import ruvek.LinePair;
import ruvek.LineSettings;
import ruvek.SerialLine;

class PairLineContractTest extends LineContract {
    LinePair pair;

    @BeforeEach
    void join() {
        pair = LinePair.open(LineSettings.of(115200));
    }

    @AfterEach
    void part() {
        pair.close();
    }

    /** A fresh pair for each line asked for: the far end is the new pair's second. */
    @Override SerialLine line() {
        pair.close();
        pair = LinePair.open(LineSettings.of(115200));
        return pair.first();
    }

    @Override void farWrite(byte[] b) throws Exception {
        pair.second().getOutputStream().write(b);
    }

    @Override byte[] farReceive(int n) throws Exception {
        byte[] got = new byte[n];
        InputStream in = pair.second().getInputStream();
        for (int k = 0; k < n; )
            k += in.read(got, k, n - k);
        return got;
    }

    @Override void farGoes() {
        pair.second().close();
    }
}
