// The termios layer's port table: opening a port into a free slot, closing
// it once no call is left in it, cancelling its waits, the last error and
// the stand-ins for events. SerialPort's core holds one port at a time; the
// named API's holds one per line, up to SLOTS at once. Names are
// names.cpp's, settings settings.cpp's, waits waits.cpp's; reads and writes
// are transfer.cpp's, settings and line control control.cpp's.
#include "port.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <linux/stat.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

// 32-bit builds too take 64-bit offsets and inode numbers: without them a stat
// or a directory read fails (EOVERFLOW) on file systems with 64-bit inode
// numbers, as on the overlay mounts of containers.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace ruvek_termios {

pthread_mutex_t lifecycle = PTHREAD_MUTEX_INITIALIZER;
Port ports[SLOTS];
Turn noTurn;
thread_local DWORD lastError = 0;

DWORD lineErrorOf(int e) { return goneErrno(e) ? ERROR_DEVICE_REMOVED : errorOf(e); }

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

void discardReadAhead(ReadAhead &ahead)
{
    ahead.start = ahead.end = ahead.quietPolls = 0;
    ahead.drained = false;
    ahead.held.store(0, std::memory_order_relaxed);
}

void setTimeouts(Port &p, const COMMTIMEOUTS &t)
{
    p.readInterval = t.ReadIntervalTimeout;
    p.readMultiplier = t.ReadTotalTimeoutMultiplier;
    p.readConstant = t.ReadTotalTimeoutConstant;
    p.writeMultiplier = t.WriteTotalTimeoutMultiplier;
    p.writeConstant = t.WriteTotalTimeoutConstant;
}

namespace {

uintptr_t opens = 0; // under `lifecycle`
std::atomic<uintptr_t> events{0};

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

// Whether another open file holds the lock of the terminal at path, as
// /proc/locks shows it. Asked before the open, since every open(2) of a tty
// raises DTR and RTS, the holder's lines too. A pty slave has no such lines,
// and its flock after the open tells alone: reading /proc/locks costs the
// kernel a grace period, milliseconds of every open. statx by system call,
// since stat's symbols would tie the library to a recent glibc.
bool lockedByAnother(const char *path)
{
    constexpr unsigned PTY_SLAVE_MAJOR = 136, PTY_SLAVE_MAJORS = 8; // Unix98 pty slaves, 136 to 143
    struct statx st;
    if (syscall(SYS_statx, AT_FDCWD, path, 0, STATX_TYPE | STATX_INO, &st) != 0 || !S_ISCHR(st.stx_mode) ||
        st.stx_rdev_major - PTY_SLAVE_MAJOR < PTY_SLAVE_MAJORS)
        return false;
    char id[64];
    snprintf(id, sizeof id, " %02x:%02x:%llu ", st.stx_dev_major, st.stx_dev_minor, (unsigned long long)st.stx_ino);
    FILE *locks = fopen("/proc/locks", "re");
    if (!locks)
        return false;
    // A line: "1: FLOCK  ADVISORY  WRITE 4711 00:1b:3 0 EOF".
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, locks))
        found = strstr(line, " FLOCK ") && strstr(line, id);
    fclose(locks);
    return found;
}

// Output still queued as a port closes: what the line goes on taking may
// leave, for up to half a second; what it has stopped taking (after XOFF,
// with CTS low, to a far end that reads nothing) is dropped after 0.1 s
// without progress. Else the close would wait in the driver, up to its
// closing_wait of 30 s, for bytes that may never leave.
// A pty counts nothing here, its bytes being at the far end already: they
// stay for it to read.
void letOutputGo(int fd)
{
    long long start = nowMs(), moved = start;
    int last = -1;
    for (int queued = 0; ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;) {
        long long now = nowMs();
        if (queued != last) {
            last = queued;
            moved = now;
        }
        if (now - moved >= 100 || now - start >= 500) {
            tcflush(fd, TCOFLUSH);
            return;
        }
        struct timespec t = {0, 2000000};
        nanosleep(&t, nullptr);
    }
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

    if (lockedByAnother(path)) {
        lastError = ERROR_SHARING_VIOLATION;
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
        pipe2(p.wake, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(p.readWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        lastError = errorOf(errno); // a port another holds: ERROR_SHARING_VIOLATION
        close(fd);
        closePipe(p.wake);
        closePipe(p.readWake);
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
    if ((uintptr_t)h & EVENT) {
        if (h == INVALID_HANDLE_VALUE)
            return fail(ERROR_INVALID_HANDLE);
        releaseEvent(h);
        return TRUE;
    }
    Lifecycle lock;
    Port *found = portOf(h);
    uintptr_t open = (uintptr_t)h;
    if (!found || !found->handle.compare_exchange_strong(open, 0))
        return fail(ERROR_INVALID_HANDLE);
    Port &p = *found;
    // No call gets in from here on. Wake those waiting, then let every call
    // still in flight leave before the descriptor's number can be reused.
    (void)!write(p.wake[1], "", 1);
    wakeEvents(p);
    p.readTurn.take();
    p.writeTurn.take();
    p.eventTurn.take();
    releaseEvents(p); // its watcher leaves the descriptor before it closes
    p.eventTurn.give();
    p.writeTurn.give();
    p.readTurn.give();

    int fd = p.fd;
    p.fd = -1;
    discardReadAhead(p.ahead); // no reader is left to be served from it
    closePipe(p.wake);
    closePipe(p.readWake);
    // Drop the mark we set, for whoever opened past it (root can).
    if (p.marked)
        ioctl(fd, TIOCNXCL);
    letOutputGo(fd);
    return close(fd) == 0 ? TRUE : fail(errorOf(errno));
}

// Without a record: every wait on h's port ends from now until it closes,
// not only those in progress as on Windows: the cores cancel only a port
// they are closing. With the record of the event wait begun, that wait's.
// With another, a read's: it ends the wait of the read in progress, or else
// of the next read that waits, which fails with ERROR_OPERATION_ABORTED. A
// read runs to its end within ReadFile here, so a cancel that came just
// before it must still reach it.
BOOL CancelIoEx(HANDLE h, void *overlapped)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped && overlapped == p->events.pending.load()) {
        (void)!write(p->events.wake[1], "", 1);
    } else {
        (void)!write(overlapped ? p->readWake[1] : p->wake[1], "", 1);
        if (overlapped)
            return TRUE;
    }
    wakeEvents(*p);
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

HANDLE CreateEventA(void *security, BOOL manualReset, BOOL initialState, const char *name)
{
    if (security || name) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    // The handle says how the event resets, for the waits that need it (watch.cpp).
    constexpr uintptr_t MANUAL = EVENT >> 1;
    HANDLE h = (HANDLE)(EVENT | (manualReset ? MANUAL : 0) | (events.fetch_add(1) % (MANUAL - 1) + 1));
    if (initialState && !SetEvent(h))
        return 0;
    return h;
}

} // extern "C"

} // namespace ruvek_termios
