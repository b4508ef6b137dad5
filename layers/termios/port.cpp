// The termios layer's open ports: their state and who may touch it, opening
// and closing, reads and writes, and the Win32 entry points that the cores
// call. SerialPort's core holds one port at a time; the named API's holds
// one per line, up to SLOTS at once. Names are names.cpp's, settings
// settings.cpp's, waits waits.cpp's.
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

// The open ports. Another thread may be inside ReadFile or WriteFile while
// CloseHandle runs (nothing else can free a write blocked on flow control),
// so reads and writes each hold their direction's turn of the port, and the
// descriptor is closed only once the close has taken both: its number is
// never reused under a call, and two readers never share the read-ahead.
//
// Opening, closing and the settings calls hold `lifecycle`, one for every
// port; reads and writes take only their port's turn. A close takes
// `lifecycle`, then the read turn, then the write turn; nothing takes them
// in another order.
// (pthread's mutex rather than std::mutex, which throws: libstdc++'s
// exception support would come into the library, and its exports with it.)
pthread_mutex_t lifecycle = PTHREAD_MUTEX_INITIALIZER;
struct Lifecycle {
    Lifecycle() { pthread_mutex_lock(&lifecycle); }
    ~Lifecycle() { pthread_mutex_unlock(&lifecycle); }
};

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

// Bytes that one read(2) took from the device beyond what its caller asked
// for, served to the reads that follow with no system call. They belong to
// the open port: emptied when it closes, so that a new one starts empty and
// no byte outlives the open that read it. The fixed size bounds how far we run
// ahead of the caller; past it the driver's queue fills and throttles the
// sender (CTS, XOFF, a blocked pty writer) as before. Only a call holding
// the read turn touches it, but for `held`, which ClearCommError reads.
struct ReadAhead {
    unsigned char bytes[4096]; // n_tty's own queue: one read(2) seldom returns more
    DWORD start, end;          // bytes[start, end) are still to be delivered
    DWORD quietPolls;          // empty polls that FIONREAD alone answered
    bool drained;              // the last read(2) left the device's queue empty
    std::atomic<DWORD> held;   // end - start, for ClearCommError
};

struct Port {
    std::atomic<uintptr_t> handle{0}; // this open's handle; 0 when the slot is free
    int fd = -1;
    int wake[2] = {-1, -1};           // readable once the port is closing or its calls cancelled
    bool marked = false;              // we set TIOCEXCL on it
    // Read in flight without a lock: each field is whole, and any mix of old
    // and new is still a valid set of time-outs.
    std::atomic<DWORD> readInterval{0}, readMultiplier{0}, readConstant{0}, writeMultiplier{0},
        writeConstant{0};
    std::atomic<bool> purged{false}; // the read-ahead is to go before the next read
    // Apart, so that a reader and a writer on two threads don't share a cache line.
    alignas(64) Turn readTurn;
    alignas(64) Turn writeTurn;
    ReadAhead ahead;
};

// A handle names its slot and its open: SLOTS * (opens so far) + slot + 1,
// so that a handle kept from an earlier open of the slot never reaches the
// port open there now, even when the descriptor's number is the same.
constexpr unsigned SLOTS = 64;
Port ports[SLOTS];
uintptr_t opens = 0; // under `lifecycle`

// Events are never waited on here, since every transfer completes in its
// call: a handle of their own range is all they need, never a port's.
constexpr uintptr_t EVENT = (uintptr_t)1 << (sizeof(uintptr_t) * 8 - 2);
std::atomic<uintptr_t> events{0};

thread_local DWORD lastError = 0;

BOOL fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

void discardReadAhead(ReadAhead &ahead)
{
    ahead.start = ahead.end = ahead.quietPolls = 0;
    ahead.drained = false;
    ahead.held.store(0, std::memory_order_relaxed);
}

// The port that h names, or null. Its fd is stable for callers that hold
// `lifecycle` or one of its turns and have checked the handle under it.
Port *portOf(HANDLE h)
{
    uintptr_t v = (uintptr_t)h;
    if (v == 0 || (v & EVENT) || h == INVALID_HANDLE_VALUE)
        return nullptr;
    Port &p = ports[(v - 1) % SLOTS];
    return p.handle.load() == v ? &p : nullptr;
}

// The turns of the slot that h names, open or not: a caller takes its turn
// first, then checks that h is still the slot's open, so that a close that
// took the turn after it waits for it to leave.
Turn noTurn; // for handles that name no slot; a caller there finds no port
Turn &readTurnOf(HANDLE h)
{
    uintptr_t v = (uintptr_t)h;
    return v == 0 || (v & EVENT) || h == INVALID_HANDLE_VALUE ? noTurn : ports[(v - 1) % SLOTS].readTurn;
}
Turn &writeTurnOf(HANDLE h)
{
    uintptr_t v = (uintptr_t)h;
    return v == 0 || (v & EVENT) || h == INVALID_HANDLE_VALUE ? noTurn : ports[(v - 1) % SLOTS].writeTurn;
}

void setTimeouts(Port &p, const COMMTIMEOUTS &t)
{
    p.readInterval = t.ReadIntervalTimeout;
    p.readMultiplier = t.ReadTotalTimeoutMultiplier;
    p.readConstant = t.ReadTotalTimeoutConstant;
    p.writeMultiplier = t.WriteTotalTimeoutMultiplier;
    p.writeConstant = t.WriteTotalTimeoutConstant;
}

// Win32's code for an errno of open(2), flock(2), read(2) or write(2).
DWORD errorOf(int e)
{
    switch (e) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
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

// The write proper, for a caller holding p's write turn. False, with the
// reason in lastError, when the device failed or the port is closing.
BOOL writePort(Port &p, const char *in, DWORD toWrite, DWORD *written)
{
    Deadline deadline{p.writeMultiplier, p.writeConstant, toWrite};
    while (*written < toWrite) {
        ssize_t n = ::write(p.fd, in + *written, toWrite - *written);
        if (n > 0) {
            *written += (DWORD)n;
            // A write cut short filled the driver's queue: writing again at
            // once would only hear EAGAIN, a system call for nothing.
            if (*written == toWrite)
                break;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            return fail(errorOf(errno));
        }
        // The driver's queue is full: wait until it takes more, or the port closes.
        Wait w = waitFor(p.fd, p.wake[0], POLLOUT, deadline.get());
        if (w == CLOSING)
            return fail(ERROR_OPERATION_ABORTED);
        if (w == TIMED_OUT)
            break; // a write time-out: success with fewer bytes, as on Windows
    }
    return TRUE;
}

enum Refill { FILLED, NOTHING, GONE };

// Refills p's empty read-ahead with one read(2): FILLED; NOTHING when no byte
// is waiting; GONE when the device is. When polling, FIONREAD answers
// "nothing" for less than a read(2) that finds nothing. A hung-up device
// fails it (EIO), and the read then reports that; a driver that answers 0
// instead still meets a read on every 64th quiet poll.
Refill refill(Port &p, bool polling)
{
    ReadAhead &ahead = p.ahead;
    int waiting = 0;
    if (polling && ioctl(p.fd, FIONREAD, &waiting) == 0 && waiting <= 0 && ++ahead.quietPolls % 64 != 0)
        return NOTHING;
    for (;;) {
        ssize_t n = ::read(p.fd, ahead.bytes, sizeof ahead.bytes);
        if (n > 0) {
            ahead.start = 0;
            ahead.end = (DWORD)n;
            ahead.drained = (size_t)n < sizeof ahead.bytes;
            ahead.held.store((DWORD)n, std::memory_order_relaxed);
            return FILLED;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return NOTHING;
        lastError = n < 0 ? errorOf(errno) : ERROR_GEN_FAILURE;
        return GONE;
    }
}

// Hands the caller up to `want` bytes of p's read-ahead: how many.
DWORD deliver(ReadAhead &ahead, char *out, DWORD want)
{
    DWORD n = ahead.end - ahead.start < want ? ahead.end - ahead.start : want;
    memcpy(out, ahead.bytes + ahead.start, n);
    ahead.start += n;
    ahead.held.store(ahead.end - ahead.start, std::memory_order_relaxed);
    return n;
}

// The read proper, for a caller holding p's read turn, under Win32's read
// time-outs. False, with the reason in lastError, when the device has gone or
// the port is closing.
BOOL readPort(Port &p, char *out, DWORD toRead, DWORD *read)
{
    DWORD interval = p.readInterval, multiplier = p.readMultiplier, constant = p.readConstant;
    // Interval MAXDWORD with both totals zero: return at once with what is there.
    bool atOnce = interval == MAXDWORD && multiplier == 0 && constant == 0;
    // Interval and multiplier MAXDWORD with a constant between: wait up to the
    // constant for a first byte, then return with what is there.
    bool firstByte = interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 && constant < MAXDWORD;
    Deadline deadline{firstByte ? 0 : multiplier, constant, toRead};
    ReadAhead &ahead = p.ahead;
    if (p.purged.exchange(false))
        discardReadAhead(ahead);

    while (*read < toRead) {
        if (ahead.start >= ahead.end) {
            // What the last read(2) left is all there was: don't ask again for nothing.
            if (*read > 0 && interval == MAXDWORD && ahead.drained)
                break;
            Refill r = refill(p, atOnce);
            if (r == GONE)
                return FALSE;
            if (r == NOTHING) {
                if (atOnce || (*read > 0 && interval == MAXDWORD))
                    break;
                Wait w = waitFor(p.fd, p.wake[0], POLLIN, deadline.get());
                if (w == CLOSING)
                    return fail(ERROR_OPERATION_ABORTED);
                if (w == TIMED_OUT)
                    break;
                continue;
            }
        }
        *read += deliver(ahead, out + *read, toRead - *read);
        // After the first byte, the interval time-out bounds the wait for the next.
        if (interval && interval != MAXDWORD && *read < toRead) {
            long long next = nowMs() + interval, total = deadline.get();
            deadline.at = total < 0 || next < total ? next : total;
        }
    }
    return TRUE;
}

// Ends an overlapped transfer that ran to its end in the call that started
// it: the record says how, for GetOverlappedResult.
BOOL complete(OVERLAPPED *ov, BOOL ok, DWORD moved)
{
    ov->Internal = ok ? 0 : lastError;
    ov->InternalHigh = moved;
    return ok;
}

} // namespace

extern "C" {

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode, void *, DWORD creation, DWORD flags,
                   HANDLE)
{
    Lifecycle lock;
    char path[PATH_MAX];
    if (!name || access != (GENERIC_READ | GENERIC_WRITE) || shareMode != 0 || creation != OPEN_EXISTING ||
        (flags & ~FILE_FLAG_OVERLAPPED) != 0) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    if (!devicePath(name, path, sizeof path)) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    unsigned slot = 0;
    while (slot < SLOTS && ports[slot].handle.load())
        slot++;
    if (slot == SLOTS) {
        lastError = ERROR_NOT_ENOUGH_MEMORY; // Windows' answer to too many open handles
        return INVALID_HANDLE_VALUE;
    }

    // Non-blocking, so that the open never waits for carrier; reads and
    // writes wait with poll under the time-outs.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = errorOf(errno);
        return INVALID_HANDLE_VALUE;
    }
    // Only a terminal can be a serial port, and never a pty master: opening
    // /dev/ptmx makes a fresh one, with nobody at the other end.
    char slave[64];
    if (!isatty(fd) || ptsname_r(fd, slave, sizeof slave) == 0) {
        close(fd);
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive, like share mode 0: the lock keeps out every other opener
    // that locks, in this process or another; TIOCEXCL keeps out plain opens.
    Port &p = ports[slot];
    bool mark = !isPtySlave(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (mark && ioctl(fd, TIOCEXCL) != 0) ||
        pipe2(p.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        lastError = errorOf(errno); // a port another holds: ERROR_SHARING_VIOLATION
        close(fd);
        p.wake[0] = p.wake[1] = -1;
        return INVALID_HANDLE_VALUE;
    }
    // A Windows port starts with an empty input queue: what arrived while
    // nobody had the device open belongs to no session.
    tcflush(fd, TCIFLUSH);

    setTimeouts(p, COMMTIMEOUTS{}); // a read then waits for its byte, as on a fresh Windows port
    // The read-ahead is empty here: it starts so, and every close empties it.
    // Wrapping below EVENT keeps clear of the events' range and of INVALID_HANDLE_VALUE.
    opens = opens % (EVENT / SLOTS - 2) + 1;
    uintptr_t h = SLOTS * opens + slot + 1;
    p.fd = fd;
    p.marked = mark;
    p.handle.store(h);
    return (HANDLE)h;
}

BOOL CloseHandle(HANDLE h)
{
    if ((uintptr_t)h & EVENT)
        return h != INVALID_HANDLE_VALUE ? TRUE : fail(ERROR_INVALID_HANDLE);
    Lifecycle lock;
    Port *found = portOf(h);
    uintptr_t open = (uintptr_t)h;
    if (!found || !found->handle.compare_exchange_strong(open, 0))
        return fail(ERROR_INVALID_HANDLE);
    Port &p = *found;
    // No call gets in from here on. Wake those waiting, then let every call
    // still in flight leave before the descriptor's number can be reused.
    (void)!write(p.wake[1], "", 1);
    p.readTurn.take();
    p.writeTurn.take();
    p.writeTurn.give();
    p.readTurn.give();

    int fd = p.fd;
    p.fd = -1;
    discardReadAhead(p.ahead); // no reader is left to be served from it
    close(p.wake[0]);
    close(p.wake[1]);
    p.wake[0] = p.wake[1] = -1;
    // Drop the mark we set, for whoever opened past it (root can).
    if (p.marked)
        ioctl(fd, TIOCNXCL);
    return close(fd) == 0 ? TRUE : fail(errorOf(errno));
}

// Every wait on h's port ends from now until it closes, not only those in
// progress as on Windows: the cores cancel only a port they are closing.
BOOL CancelIoEx(HANDLE h, void *overlapped)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p || overlapped)
        return fail(ERROR_INVALID_HANDLE);
    (void)!write(p->wake[1], "", 1);
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

DWORD GetLastError(void) { return lastError; }

HANDLE CreateEventA(void *security, BOOL, BOOL, const char *name)
{
    if (security || name) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    return (HANDLE)(EVENT | (events.fetch_add(1) % (EVENT - 1) + 1));
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED *ov, DWORD *transferred, BOOL)
{
    // Every transfer here has ended within its call, so there is never anything to wait for.
    if (!ov || !transferred || ((uintptr_t)h & EVENT))
        return fail(ERROR_INVALID_PARAMETER);
    *transferred = (DWORD)ov->InternalHigh;
    return ov->Internal == 0 ? TRUE : fail((DWORD)ov->Internal);
}

BOOL ClearCommError(HANDLE h, DWORD *errors, COMSTAT *stat)
{
    // No lock: FIONREAD is one call, and the read-ahead's count is one word.
    Port *p = portOf(h);
    int waiting = 0;
    if (!p || ioctl(p->fd, FIONREAD, &waiting) != 0)
        return fail(ERROR_INVALID_HANDLE);
    if (errors)
        *errors = 0; // the driver keeps no error state that a read would not report
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = (DWORD)(waiting > 0 ? waiting : 0) + p->ahead.held.load(std::memory_order_relaxed);
    }
    return TRUE;
}

// A device without modem lines or a break (a pseudo-terminal) answers
// ENOTTY or EINVAL, a system without the ioctl ENOSYS: the call is not
// supported there, never quietly done.
BOOL lineControl(HANDLE h, unsigned long request, int bits)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    if (ioctl(p->fd, request, &bits) == 0)
        return TRUE;
    return fail(errno == ENOTTY || errno == EINVAL || errno == ENOSYS ? ERROR_NOT_SUPPORTED : errorOf(errno));
}

BOOL EscapeCommFunction(HANDLE h, DWORD function)
{
    switch (function) {
    case SETDTR: return lineControl(h, TIOCMBIS, TIOCM_DTR);
    case CLRDTR: return lineControl(h, TIOCMBIC, TIOCM_DTR);
    case SETRTS: return lineControl(h, TIOCMBIS, TIOCM_RTS);
    case CLRRTS: return lineControl(h, TIOCMBIC, TIOCM_RTS);
    default: return fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL GetCommModemStatus(HANDLE h, DWORD *status)
{
    if (!status)
        return fail(ERROR_INVALID_PARAMETER);
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    int bits = 0;
    if (ioctl(p->fd, TIOCMGET, &bits) != 0)
        return fail(errno == ENOTTY || errno == EINVAL ? ERROR_NOT_SUPPORTED : errorOf(errno));
    *status = (bits & TIOCM_CTS ? MS_CTS_ON : 0) | (bits & TIOCM_DSR ? MS_DSR_ON : 0) |
              (bits & TIOCM_RI ? MS_RING_ON : 0) | (bits & TIOCM_CD ? MS_RLSD_ON : 0);
    return TRUE;
}

BOOL SetCommBreak(HANDLE h) { return lineControl(h, TIOCSBRK, 0); }

BOOL ClearCommBreak(HANDLE h) { return lineControl(h, TIOCCBRK, 0); }

BOOL PurgeComm(HANDLE h, DWORD flags)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    bool in = flags & PURGE_RXCLEAR, out = flags & PURGE_TXCLEAR;
    if ((in || out) && tcflush(p->fd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) != 0)
        return fail(errorOf(errno));
    // The bytes read ahead are the reader's to drop, at its next read: a
    // reader waiting now holds none.
    if (in)
        p->purged = true;
    return TRUE;
}

// Waits, woken by a close, until the driver's output queue is empty, then
// for the last byte to leave the wire.
BOOL FlushFileBuffers(HANDLE h)
{
    HoldTurn turn(writeTurnOf(h));
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    for (int queued = 0; ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0;) {
        struct pollfd wake = {p->wake[0], POLLIN, 0};
        if (poll(&wake, 1, 1) > 0)
            return fail(ERROR_OPERATION_ABORTED);
    }
    return tcdrain(p->fd) == 0 || errno == ENOTTY ? TRUE : fail(errorOf(errno));
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    Lifecycle lock;
    // A tty's buffers are the kernel's to size; the request is advisory on Windows too.
    return portOf(h) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p || !timeouts)
        return fail(ERROR_INVALID_PARAMETER);
    setTimeouts(*p, *timeouts);
    return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p || !dcb)
        return fail(ERROR_INVALID_PARAMETER);
    return readSettings(p->fd, dcb) ? TRUE : fail(ERROR_GEN_FAILURE);
}

BOOL SetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p || !dcb)
        return fail(ERROR_INVALID_PARAMETER);
    return applySettings(p->fd, *dcb) ? TRUE : fail(ERROR_INVALID_PARAMETER);
}

// With an OVERLAPPED record (a port opened for overlapped I/O), the transfer
// still runs to its end here: POSIX reads and writes on two threads never
// hold each other up, so there is nothing to overlap. Its outcome goes into
// the record too.
BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped);
    DWORD got = 0;
    if (read)
        *read = 0;
    if (!buffer || (!read && !ov))
        return fail(ERROR_INVALID_PARAMETER);
    BOOL ok;
    {
        HoldTurn turn(readTurnOf(h));
        Port *p = portOf(h);
        ok = p ? readPort(*p, static_cast<char *>(buffer), toRead, &got) : fail(ERROR_INVALID_HANDLE);
    }
    if (read)
        *read = got;
    return ov ? complete(ov, ok, got) : ok;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
{
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped);
    DWORD put = 0;
    if (written)
        *written = 0;
    if (!buffer || (!written && !ov))
        return fail(ERROR_INVALID_PARAMETER);
    BOOL ok;
    {
        HoldTurn turn(writeTurnOf(h));
        Port *p = portOf(h);
        ok = p ? writePort(*p, static_cast<const char *>(buffer), toWrite, &put) : fail(ERROR_INVALID_HANDLE);
    }
    if (written)
        *written = put;
    return ov ? complete(ov, ok, put) : ok;
}

} // extern "C"

} // namespace ruvek_termios
