// The termios layer's open port: its state and who may touch it, opening
// and closing, reads and writes, and the Win32 entry points that the core
// calls. One port is open at a time, which is all the core ever holds. Names
// are names.cpp's, settings settings.cpp's, waits waits.cpp's.
#include "termios.h"

#include <atomic>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

// 32-bit builds too take 64-bit offsets and inode numbers: without them a stat
// or a directory read fails (EOVERFLOW) on file systems with 64-bit inode
// numbers, as on the overlay mounts of containers.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace ruvek_termios {
namespace {

// The open port. Another thread may be inside ReadFile or WriteFile while
// CloseHandle runs (nothing else can free a write blocked on flow control),
// so reads and writes each hold their direction's turn, and the descriptor is
// closed only once the close has taken both: its number is never reused
// under a call, and two readers never share the read-ahead at once.
//
// Opening, closing and the settings calls hold `lifecycle`; reads and writes
// take only their turn. A close takes `lifecycle`, then the read turn, then
// the write turn; nothing takes them in another order.
// (pthread's mutex rather than std::mutex, which throws: libstdc++'s
// exception support would come into the library, and its exports with it.)
pthread_mutex_t lifecycle = PTHREAD_MUTEX_INITIALIZER;
struct Lifecycle {
    Lifecycle() { pthread_mutex_lock(&lifecycle); }
    ~Lifecycle() { pthread_mutex_unlock(&lifecycle); }
};
std::atomic<uintptr_t> openHandle{0}; // this open's handle; 0 when no port is open
uintptr_t lastHandle = 0;             // a fresh one per open, never 0 or -1
int portFd = -1;
int portWake[2] = {-1, -1};           // readable once the port is closing or its calls cancelled
bool portMarked = false;              // we set TIOCEXCL on it
// Read in flight without a lock: each field is whole, and any mix of old and
// new is still a valid set of time-outs.
struct {
    std::atomic<DWORD> readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant;
} portTimeouts;
// A direction's turn: one atomic exchange to take it, a store to give it
// back, which costs a lone caller less than a mutex. A caller that finds it
// taken yields, then sleeps, until it is free: two threads reading one port
// at once is rare, and either way the port serves one at a time.
struct Turn {
    std::atomic<bool> taken{false};

    void take()
    {
        for (unsigned spins = 0; taken.exchange(true, std::memory_order_acquire); ++spins) {
            if (spins < 64) {
                sched_yield();
            } else {
                struct timespec t = {0, 200000};
                nanosleep(&t, nullptr);
            }
        }
    }
    void give() { taken.store(false, std::memory_order_release); }
};
struct HoldTurn {
    Turn &turn;
    explicit HoldTurn(Turn &t) : turn(t) { turn.take(); }
    ~HoldTurn() { turn.give(); }
};
// Apart, so that a reader and a writer on two threads don't share a cache line.
alignas(64) Turn readTurn;
alignas(64) Turn writeTurn;

// Bytes that one read(2) took from the device beyond what its caller asked
// for, served to the reads that follow with no system call. They belong to
// the open port: emptied when it closes, so that a new one starts empty and
// no byte outlives the open that read it. The fixed size bounds how far we run
// ahead of the caller; past it the driver's queue fills and throttles the
// sender (CTS, XOFF, a blocked pty writer) as before. Only a call holding
// the read turn touches it.
struct ReadAhead {
    unsigned char bytes[4096]; // n_tty's own queue: one read(2) seldom returns more
    DWORD start, end;          // bytes[start, end) are still to be delivered
    DWORD quietPolls;          // empty polls that FIONREAD alone answered
};
ReadAhead readAhead;

void discardReadAhead() { readAhead.start = readAhead.end = readAhead.quietPolls = 0; }

// The descriptor when h is the open port's handle, -1 otherwise. Stable for
// callers that hold `lifecycle` or a turn.
int openFd(HANDLE h) { return h && (uintptr_t)h == openHandle.load() ? portFd : -1; }

void setTimeouts(const COMMTIMEOUTS &t)
{
    portTimeouts.readInterval = t.ReadIntervalTimeout;
    portTimeouts.readMultiplier = t.ReadTotalTimeoutMultiplier;
    portTimeouts.readConstant = t.ReadTotalTimeoutConstant;
    portTimeouts.writeMultiplier = t.WriteTotalTimeoutMultiplier;
    portTimeouts.writeConstant = t.WriteTotalTimeoutConstant;
}


// A Unix98 pseudo-terminal slave (/dev/pts/N) keeps TIOCEXCL for as long as
// its master is open, after every holder is gone: a process killed with the
// port open would lock out every other user until the peer restarts. There
// the flock alone keeps others out; it dies with its holder.
bool isPtySlave(int fd)
{
    // By name: stat's symbol would tie the library to a recent glibc.
    char name[64];
    return ttyname_r(fd, name, sizeof name) == 0 && strncmp(name, "/dev/pts/", 9) == 0;
}

// The write proper, for a caller holding the write turn on the port's descriptor fd.
BOOL writePort(int fd, const char *in, DWORD toWrite, DWORD *written)
{
    Deadline deadline{portTimeouts.writeMultiplier, portTimeouts.writeConstant, toWrite};
    while (*written < toWrite) {
        ssize_t n = ::write(fd, in + *written, toWrite - *written);
        if (n > 0) {
            *written += (DWORD)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return FALSE;
        // The driver's queue is full: wait until it takes more, or the port closes.
        Wait w = waitFor(fd, portWake[0], POLLOUT, deadline.get());
        if (w == CLOSING)
            return FALSE;
        if (w == TIMED_OUT)
            break; // a write time-out: success with fewer bytes, as on Windows
    }
    return TRUE;
}

enum Refill { FILLED, NOTHING, GONE };

// Refills the empty read-ahead with one read(2): FILLED; NOTHING when no byte
// is waiting; GONE when the device is. When polling, FIONREAD answers
// "nothing" for less than a read(2) that finds nothing. A hung-up device
// fails it (EIO), and the read then reports that; a driver that answers 0
// instead still meets a read on every 64th quiet poll.
Refill refill(int fd, bool polling)
{
    ReadAhead &ahead = readAhead;
    int waiting = 0;
    if (polling && ioctl(fd, FIONREAD, &waiting) == 0 && waiting <= 0 && ++ahead.quietPolls % 64 != 0)
        return NOTHING;
    for (;;) {
        ssize_t n = ::read(fd, ahead.bytes, sizeof ahead.bytes);
        if (n > 0) {
            ahead.start = 0;
            ahead.end = (DWORD)n;
            return FILLED;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN ? NOTHING : GONE;
    }
}

// Hands the caller up to `want` bytes of the read-ahead: how many.
DWORD deliver(char *out, DWORD want)
{
    ReadAhead &ahead = readAhead;
    DWORD n = ahead.end - ahead.start < want ? ahead.end - ahead.start : want;
    memcpy(out, ahead.bytes + ahead.start, n);
    ahead.start += n;
    return n;
}

// The read proper, for a caller holding the read turn on the port's descriptor fd.
BOOL readPort(int fd, char *out, DWORD toRead, DWORD *read)
{
    DWORD interval = portTimeouts.readInterval, multiplier = portTimeouts.readMultiplier,
          constant = portTimeouts.readConstant;
    // Interval MAXDWORD with both totals zero: return at once with what is there.
    bool atOnce = interval == MAXDWORD && multiplier == 0 && constant == 0;
    Deadline deadline{multiplier, constant, toRead};

    while (*read < toRead) {
        if (readAhead.start >= readAhead.end) {
            Refill r = refill(fd, atOnce);
            if (r == GONE)
                return FALSE;
            if (r == NOTHING) {
                if (atOnce || (*read > 0 && interval == MAXDWORD))
                    break;
                Wait w = waitFor(fd, portWake[0], POLLIN, deadline.get());
                if (w == CLOSING)
                    return FALSE;
                if (w == TIMED_OUT)
                    break;
                continue;
            }
        }
        *read += deliver(out + *read, toRead - *read);
        // After the first byte, the interval time-out bounds the wait for the next.
        if (interval && interval != MAXDWORD && *read < toRead) {
            long long next = nowMs() + interval, total = deadline.get();
            deadline.at = total < 0 || next < total ? next : total;
        }
    }
    return TRUE;
}

} // namespace

extern "C" {

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode, void *, DWORD creation, DWORD flags,
                   HANDLE)
{
    Lifecycle lock;
    char path[PATH_MAX];
    if (openHandle.load() || !name || access != (GENERIC_READ | GENERIC_WRITE) || shareMode != 0 ||
        creation != OPEN_EXISTING || flags != 0 || !devicePath(name, path, sizeof path))
        return INVALID_HANDLE_VALUE;

    // Non-blocking, so that the open never waits for carrier; reads and
    // writes wait with poll under the time-outs.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Only a terminal can be a serial port, and never a pty master: opening
    // /dev/ptmx makes a fresh one, with nobody at the other end.
    char slave[64];
    if (!isatty(fd) || ptsname_r(fd, slave, sizeof slave) == 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive, like share mode 0: the lock keeps out every other opener
    // that locks, in this process or another; TIOCEXCL keeps out plain opens.
    bool mark = !isPtySlave(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (mark && ioctl(fd, TIOCEXCL) != 0) ||
        pipe2(portWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    // A Windows port starts with an empty input queue: what arrived while
    // nobody had the device open belongs to no session.
    tcflush(fd, TCIFLUSH);

    setTimeouts(COMMTIMEOUTS{}); // a read then waits for its byte, as on a fresh Windows port
    // The read-ahead is empty here: it starts so, and every close empties it.
    // A handle of its own per open: one kept from an earlier open never
    // reaches this port, even when the descriptor's number is the same.
    do
        lastHandle++;
    while (lastHandle == 0 || lastHandle == (uintptr_t)INVALID_HANDLE_VALUE);
    portFd = fd;
    portMarked = mark;
    openHandle.store(lastHandle);
    return (HANDLE)lastHandle;
}

BOOL CloseHandle(HANDLE h)
{
    Lifecycle lock;
    uintptr_t open = (uintptr_t)h;
    if (!h || !openHandle.compare_exchange_strong(open, 0))
        return FALSE;
    // No call gets in from here on. Wake those waiting, then let every call
    // still in flight leave before the descriptor's number can be reused.
    (void)!write(portWake[1], "", 1);
    readTurn.take();
    writeTurn.take();
    writeTurn.give();
    readTurn.give();

    int fd = portFd;
    portFd = -1;
    discardReadAhead(); // no reader is left to be served from it
    close(portWake[0]);
    close(portWake[1]);
    portWake[0] = portWake[1] = -1;
    // Drop the mark we set, for whoever opened past it (root can).
    if (portMarked)
        ioctl(fd, TIOCNXCL);
    return close(fd) == 0;
}

// Every wait on h's port ends from now until it closes, not only those in
// progress as on Windows: the core cancels only a port it is closing.
BOOL CancelIoEx(HANDLE h, void *overlapped)
{
    Lifecycle lock;
    if (openFd(h) < 0 || overlapped)
        return FALSE;
    (void)!write(portWake[1], "", 1);
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    struct timespec t = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    Lifecycle lock;
    // A tty's buffers are the kernel's to size; the request is advisory on Windows too.
    return openFd(h) >= 0;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts)
{
    Lifecycle lock;
    if (openFd(h) < 0 || !timeouts)
        return FALSE;
    setTimeouts(*timeouts);
    return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    int fd = openFd(h);
    return fd >= 0 && dcb && readSettings(fd, dcb);
}

BOOL SetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    int fd = openFd(h);
    return fd >= 0 && dcb && applySettings(fd, *dcb);
}

BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    if (read)
        *read = 0;
    if (!buffer || !read || overlapped)
        return FALSE;
    HoldTurn turn(readTurn);
    int fd = openFd(h);
    return fd >= 0 && readPort(fd, static_cast<char *>(buffer), toRead, read);
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
{
    if (written)
        *written = 0;
    if (!buffer || !written || overlapped)
        return FALSE;
    HoldTurn turn(writeTurn);
    int fd = openFd(h);
    return fd >= 0 && writePort(fd, static_cast<const char *>(buffer), toWrite, written);
}

} // extern "C"

} // namespace ruvek_termios
