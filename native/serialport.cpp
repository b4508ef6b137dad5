// The four native methods of the Java class SerialPort, the one port that
// they share, and what keeps calls on other threads off a port that closes.
// The JNIEnv and the receiver are never used.
#include "SerialPort.h"
#include "line.h"

#include <atomic>
#include <stdio.h>

static_assert(sizeof(jint) == 4, "jint must be 32 bits");

// The port init and close manage: only they and setPollingTimeouts use it,
// one at a time, under `lifecycle`.
HANDLE portHandle = 0;

BOOL setPollingTimeouts(void)
{
    COMMTIMEOUTS t;
    // An interval of MAXDWORD with both read totals zero makes a read return
    // at once with whatever has arrived, even nothing.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    // No write time-out: a write returns when the driver has taken the data.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(portHandle, &t);
}

namespace {

// recc and send may run on other threads beside init and close. They use the
// port only once init has configured it (`usable`), and each direction takes
// its turn, a word on a cache line of its own, for the length of its call. A
// close takes the port out of `usable`, then closes its handle only when
// neither turn is taken: the value of a closed handle is reused at once, and
// a call that had loaded it would read or write whatever was opened next.
// Taking turns also keeps two readers from interleaving inside one read.
std::atomic<HANDLE> usable{0};
alignas(64) std::atomic<int> reading{0};
alignas(64) std::atomic<int> sending{0};

// A handle left open by a close because a call in it could not be cancelled
// (Wine cancels no synchronous I/O): the last call to leave closes it.
// Guarded by `lifecycle`; `orphaned` lets a leaving call see it without it.
HANDLE orphan = 0;
std::atomic<bool> orphaned{false};

// Init and close run one at a time, under `lifecycle`: a flag taken like a
// turn, which needs kernel32 alone and no initialisation for a DLL to run.
alignas(64) std::atomic<int> lifecycle{0};

// Takes a turn or `lifecycle`, yielding, then sleeping, while another holds it.
void take(std::atomic<int> &flag)
{
    for (unsigned spins = 0; flag.exchange(1); ++spins)
        Sleep(spins < 64 ? 0 : 1);
}

void give(std::atomic<int> &flag) { flag.store(0, std::memory_order_release); }

bool idle() { return reading.load() == 0 && sending.load() == 0; }

// Closes the orphan once no call is in flight. Holds `lifecycle`.
void reapOrphan()
{
    if (orphan && idle()) {
        CloseHandle(orphan);
        orphan = 0;
        orphaned.store(false);
    }
}

// Takes the direction's turn and returns the usable port; 0, with the turn
// given back, when there is none. Pair with leave().
HANDLE enter(std::atomic<int> &turn)
{
    // Another thread of the same direction is in a call: wait for it. The
    // exchange orders what follows after it, so that a close that took the
    // port out before the load below is seen there, and one that takes it
    // out after sees the turn taken.
    take(turn);
    HANDLE h = usable.load();
    if (!h)
        give(turn);
    return h;
}

void leave(std::atomic<int> &turn)
{
    give(turn);
    if (orphaned.load()) {
        take(lifecycle);
        reapOrphan();
        give(lifecycle);
    }
}

// Closes h once the calls in flight have left it, cancelling what they wait
// for (a send held up by flow control) so that they end at once: the close's
// success flag. A call the system will not cancel keeps the handle, as an
// orphan, until it ends; the close still returns. Holds `lifecycle`, with h
// already out of `usable`.
BOOL retire(HANDLE h)
{
    // A call counted in reaches the system within microseconds; one still
    // there after the sleeps below is blocked where cancelling can't reach.
    for (unsigned spins = 0; !idle(); ++spins) {
        if (spins % 64 == 0)
            CancelIoEx(h, NULL); // also reaches a call that got in after the last
        if (spins == 64 + 100) {
            reapOrphan(); // one at a time
            if (!orphan) {
                orphan = h;
                orphaned.store(true);
                return TRUE;
            }
        }
        Sleep(spins < 64 ? 0 : 1);
    }
    return CloseHandle(h);
}

// Closes the open port, if any: the close's success flag, or 0 when none was open.
BOOL closePort()
{
    reapOrphan();
    HANDLE h = portHandle;
    if (!h)
        return FALSE;
    portHandle = 0;
    // An exchange, not a store: the load of the turns in retire must not
    // pass it, and qemu-aarch64 lets a load pass an ordered store.
    usable.exchange(0);
    return retire(h);
}

// Opens the device exclusively. A call that an earlier close left in flight
// may still hold it: cancelled, it leaves as soon as its thread runs, which
// on a loaded machine can be well after the close gave up waiting. So a
// port found taken while such a call is out is asked for again once it has
// left, waiting about two seconds for that (three where the system's timer
// is coarse). A call the system can't cancel keeps the port, and the open
// fails after that.
HANDLE openDevice(const char *name)
{
    auto ask = [name] { return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL); };
    HANDLE h = ask();
    DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
        return h;
    for (unsigned spins = 0; orphan && spins < 200; ++spins) {
        if (spins % 10 == 0)
            CancelIoEx(orphan, NULL); // also reaches a call that began after the close's cancel
        Sleep(10);
        reapOrphan();
        if (!orphan)
            return ask();
    }
    return h;
}

jboolean openPort(jint portNumber, jint baud)
{
    // COM10 and above are not DOS device names and open only through the
    // \\.\ namespace, which reaches COM1 to COM9 just the same. Sized for
    // the longest number, INT_MIN.
    char name[sizeof "\\\\.\\COM-2147483648"];
    snprintf(name, sizeof name, "\\\\.\\COM%d", (int)portNumber);

    // Close first: the open is exclusive, so reopening the same port would fail.
    closePort();

    HANDLE h = openDevice(name);
    if (h == INVALID_HANDLE_VALUE)
        return JNI_FALSE;
    portHandle = h;

    // No other call has seen h yet: it closes at once.
    if (!SetupComm(h, 128, 128) || !configureLine(h, (DWORD)baud)) {
        portHandle = 0;
        CloseHandle(h);
        return JNI_FALSE;
    }
    // Should the driver refuse, its own time-outs stay; the port still works.
    setPollingTimeouts();
    usable.store(h);
    return JNI_TRUE;
}

} // namespace

JNIEXPORT jboolean JNICALL Java_SerialPort_init(JNIEnv *, jobject, jint portNumber, jint baud)
{
    take(lifecycle);
    jboolean ok = openPort(portNumber, baud);
    give(lifecycle);
    return ok;
}

JNIEXPORT jint JNICALL Java_SerialPort_recc(JNIEnv *, jobject)
{
    HANDLE h = enter(reading);
    if (!h)
        return -1;
    unsigned char byte = 0;
    DWORD count = 0;
    // Only the count tells whether a byte arrived.
    ReadFile(h, &byte, 1, &count, NULL);
    leave(reading);
    return count == 1 ? (jint)byte : -1;
}

JNIEXPORT jboolean JNICALL Java_SerialPort_send(JNIEnv *, jobject, jint b)
{
    HANDLE h = enter(sending);
    if (!h)
        return JNI_FALSE;
    unsigned char byte = (unsigned char)(b & 0xFF);
    DWORD written = 0;
    // A write that ends with nothing written (a time-out the driver kept, or
    // a close that cancelled it) did not send the byte.
    BOOL ok = WriteFile(h, &byte, 1, &written, NULL) && written == 1;
    leave(sending);
    return ok ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_SerialPort_close(JNIEnv *, jobject)
{
    take(lifecycle);
    BOOL ok = closePort();
    give(lifecycle);
    return ok ? JNI_TRUE : JNI_FALSE;
}
