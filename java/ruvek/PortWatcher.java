// Tells a listener of the serial ports that come and go, from one thread that waits in the system.
package ruvek;

import java.io.Closeable;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import ruvek.internal.Os;

/**
 * A watch over this machine's serial ports, which {@link SerialPorts#watch}
 * starts. Its thread, a daemon named "ruvek port watcher", first tells the
 * listener of every port there is, then waits in the system until the ports
 * may have changed, lists them again and tells what went, then what came.
 * While nothing changes it does nothing at all. A listener that throws
 * doesn't stop the watch: its throwable goes to the thread's uncaught
 * exception handler. {@link #close} ends the watch; nothing is told after it returns.
 */
public final class PortWatcher implements Closeable {
    static final String THREAD_NAME = "ruvek port watcher";

    private final PortWatchListener listener;
    private final long handle;
    private final Thread thread;
    private volatile boolean closed;
    private boolean freed; // under this: the native watch is gone, and no wake may reach it
    private volatile String how;

    private PortWatcher(PortWatchListener listener, long handle) {
        this.listener = listener;
        this.handle = handle;
        how = describe(LineNatives.watchHow(handle));
        thread = new Thread(this::run, THREAD_NAME);
        thread.setDaemon(true);
    }

    /** Begins to watch; what is there now is told from the watcher's thread. */
    static PortWatcher start(PortWatchListener listener) throws SerialPortException {
        if (listener == null)
            throw new NullPointerException("listener");
        Os os = Os.current();
        if (os != Os.LINUX && os != Os.WINDOWS)
            throw new SerialPortException("port watching: not supported on " + Os.osName(),
                    SerialLine.NO_PORT, null);
        long h;
        try {
            LineNatives.requireLoaded();
            h = LineNatives.watchOpen();
        } catch (LinkageError e) {
            SerialPortException x = new SerialPortException("port watching: the native library cannot be loaded: " + e.getMessage(),
                    SerialLine.NO_PORT, null);
            x.initCause(e);
            throw x;
        }
        if (h <= 0)
            throw new SerialPortException("port watching: cannot watch the system's ports (system error " + -h + ")",
                    SerialLine.NO_PORT, null);
        PortWatcher w;
        try {
            w = new PortWatcher(listener, h);
            w.thread.start();
        } catch (RuntimeException | Error e) {
            LineNatives.watchClose(h); // no thread to free it
            throw e;
        }
        return w;
    }

    /**
     * Ends the watch: once this returns (except when a listener's call makes
     * it, which can't wait for itself) nothing more is told and the system's
     * watch is freed. Closing again does nothing.
     */
    @Override
    public void close() {
        closed = true;
        synchronized (this) {
            if (!freed)
                LineNatives.watchWake(handle);
        }
        if (Thread.currentThread() == thread)
            return; // the thread frees the watch as it leaves the listener
        boolean interrupted = false;
        while (thread.isAlive()) {
            try {
                thread.join();
            } catch (InterruptedException e) {
                interrupted = true; // the watch must be freed before close returns
            }
        }
        if (interrupted)
            Thread.currentThread().interrupt();
    }

    /** @return whether the watch goes on: not closed, and its thread not stopped by a failure */
    public boolean isActive() {
        return !closed && thread.isAlive();
    }

    /** What is watched, and how, as in {@code PortWatcher[serial ports: uevents, com links, /dev/serial/by-id]}. */
    @Override
    public String toString() {
        return "PortWatcher[serial ports: " + how + (closed ? "; closed" : "") + "]";
    }

    static String describe(int bits) {
        if (bits < 0)
            return "unknown (system error " + -bits + ")";
        List<String> ways = new ArrayList<>();
        if ((bits & LineNatives.WATCH_REGISTRY) != 0)
            ways.add("registry HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
        if ((bits & LineNatives.WATCH_DEVICEMAP) != 0)
            ways.add("registry HKLM\\HARDWARE\\DEVICEMAP and below, no SERIALCOMM key yet");
        if ((bits & LineNatives.WATCH_UEVENTS) != 0)
            ways.add("kernel uevents for ttys");
        if ((bits & LineNatives.WATCH_LINKS) != 0)
            ways.add("com links in " + LinuxLinks.linkDir());
        if ((bits & LineNatives.WATCH_BY_ID) != 0)
            ways.add("/dev/serial/by-id");
        if ((bits & LineNatives.WATCH_DEV) != 0)
            ways.add("/dev's tty nodes");
        String s = String.join(", ", ways);
        if ((bits & (LineNatives.WATCH_REGISTRY | LineNatives.WATCH_DEVICEMAP | LineNatives.WATCH_UEVENTS)) == 0)
            s = "uevents not allowed here: watching links and device nodes only" + (s.isEmpty() ? "" : " (" + s + ")");
        return s;
    }

    private void run() {
        try {
            List<SerialPortInfo> told = Collections.emptyList();
            for (boolean first = true; !closed; first = false) {
                if (!first) {
                    int r = LineNatives.watchWait(handle);
                    if (r < 0) {
                        fail(new SerialPortException("port watching: the system's watch failed (system error " + -r + ")",
                                SerialLine.NO_PORT, null));
                        return;
                    }
                    if (r == 0 || closed)
                        continue;
                    how = describe(LineNatives.watchHow(handle)); // a folder may have appeared
                }
                List<SerialPortInfo> now;
                try {
                    now = Ports.current().list();
                } catch (RuntimeException e) {
                    fail(e); // a listing that fails tells nothing; the next change lists again
                    continue;
                }
                told = tell(told, now);
            }
        } finally {
            synchronized (this) {
                freed = true;
                LineNatives.watchClose(handle);
            }
        }
    }

    /** Tells what went from {@code before}, then what came in {@code now}; what has been told. */
    private List<SerialPortInfo> tell(List<SerialPortInfo> before, List<SerialPortInfo> now) {
        Set<SerialPortInfo> was = new HashSet<>(before), is = new HashSet<>(now);
        List<SerialPortInfo> told = new ArrayList<>(before);
        for (SerialPortInfo p : before) {
            if (is.contains(p))
                continue;
            if (closed)
                return told;
            told.remove(p);
            try {
                listener.removed(p);
            } catch (Throwable t) {
                fail(t);
            }
        }
        for (SerialPortInfo p : now) {
            if (was.contains(p))
                continue;
            if (closed)
                return told;
            told.add(p);
            try {
                listener.added(p);
            } catch (Throwable t) {
                fail(t);
            }
        }
        return told;
    }

    /** Hands t to the thread's uncaught exception handler, and goes on. */
    private static void fail(Throwable t) {
        Thread self = Thread.currentThread();
        try {
            self.getUncaughtExceptionHandler().uncaughtException(self, t);
        } catch (Throwable ignored) {
            // a handler that throws can't be told of it
        }
    }
}
