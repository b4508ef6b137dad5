// The native device's transport: each call is the natives' own, on the line's handle.
package ruvek;

/** A device opened by the natives; its handle names the native line. */
final class NativeTransport implements Transport {
    private final long handle;

    NativeTransport(long handle) {
        this.handle = handle;
    }

    @Override public int read(byte[] b, int off, int len, int timeoutMs) {
        return LineNatives.read(handle, b, off, len, timeoutMs);
    }

    @Override public int readGap(byte[] b, int off, int len, int gapMs, int firstWaitMs) {
        return LineNatives.readGap(handle, b, off, len, gapMs, firstWaitMs);
    }

    @Override public int write(byte[] b, int off, int len) {
        return LineNatives.write(handle, b, off, len);
    }

    @Override public int available() {
        return LineNatives.available(handle);
    }

    @Override public void cancel() {
        LineNatives.cancel(handle);
    }

    @Override public void wakeRead() {
        LineNatives.wakeRead(handle);
    }

    @Override public boolean close() {
        return LineNatives.close(handle);
    }

    @Override public int setFormat(int baud, int dataBits, int parity, int stopBits, int flow, int options) {
        return LineNatives.setFormat(handle, baud, dataBits, parity, stopBits, flow, options);
    }

    @Override public long getFormat() {
        return LineNatives.getFormat(handle);
    }

    @Override public int escape(int function) {
        return LineNatives.escape(handle, function);
    }

    @Override public int modemStatus() {
        return LineNatives.modemStatus(handle);
    }

    @Override public int sendBreak(int ms) {
        return LineNatives.sendBreak(handle, ms);
    }

    @Override public int drain() {
        return LineNatives.drain(handle);
    }

    @Override public int purge(int flags) {
        return LineNatives.purge(handle, flags);
    }

    @Override public long waitEvents(int mask) {
        return LineNatives.waitEvents(handle, mask);
    }

    @Override public int setEventMask(int mask) {
        return LineNatives.setEventMask(handle, mask);
    }

    @Override public void wakeEvents() {
        LineNatives.wakeEvents(handle);
    }
}
