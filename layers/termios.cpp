// The Win32 functions that the core calls, for Linux and other POSIX systems,
// over termios. One port is open at a time, which is all the core ever holds.
//
// Names: \\.\COMn and COMn resolve to the link com<n> in
// $XDG_CONFIG_HOME/ruvek/ (~/.config/ruvek/) when it exists, otherwise to
// /dev/ttyS<n-1> for n >= 1, as Wine maps COM ports.
#include "win32.h"

#include <atomic>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__) && defined(TCGETS2) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
// The kernel's record for arbitrary rates; <asm/termbits.h> would clash with
// <termios.h>. This is its layout on the architectures listed above.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
// The kernel's sizes and offsets there (NCCS 19): a struct that drifted would
// hand the kernel a rate in the wrong place.
static_assert(sizeof(termios2) == 44 && offsetof(termios2, c_line) == 16 && offsetof(termios2, c_cc) == 17 &&
                  offsetof(termios2, c_ispeed) == 36 && offsetof(termios2, c_ospeed) == 40,
              "termios2 is not the kernel's layout");
#define RUVEK_BOTHER 0010000
#define RUVEK_HAVE_TERMIOS2 1
#endif
// 32-bit builds too take 64-bit offsets and inode numbers: without them a stat
// or a directory read fails (EOVERFLOW) on file systems with 64-bit inode
// numbers, as on the overlay mounts of containers.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

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


const struct { DWORD rate; speed_t code; } standardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool rateCode(DWORD rate, speed_t *code)
{
    for (const auto &r : standardRates)
        if (r.rate == rate) {
            *code = r.code;
            return true;
        }
    return false;
}

// The device behind a port name, or false for a name that is not a COM port
// or a path that does not fit.
bool devicePath(const char *name, char *path, size_t size)
{
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (strncmp(name, "COM", 3) != 0)
        return false;
    const char *digits = name + 3;
    char *end;
    errno = 0;
    long n = strtol(digits, &end, 10);
    char canonical[16];
    // Only the plain decimal form: no spaces, signs, leading zeros or trailers.
    if (errno || *end || n < INT_MIN || n > INT_MAX ||
        snprintf(canonical, sizeof canonical, "%ld", n) < 0 || strcmp(canonical, digits) != 0)
        return false;

    const char *config = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int len = 0; // no folder for links
    if (config && config[0] == '/')
        len = snprintf(path, size, "%s/ruvek/com%ld", config, n);
    else if (home && home[0] == '/')
        len = snprintf(path, size, "%s/.config/ruvek/com%ld", home, n);
    // A link whose path doesn't fit can't be looked for, so nothing says
    // there is none: falling back could open another device.
    if (len < 0 || (size_t)len >= size)
        return false;
    if (len > 0) {
        // Fall back only when there is no link: one that exists but can't be
        // read must not quietly turn into another device.
        char target[1];
        if (readlink(path, target, sizeof target) >= 0 || errno == EINVAL /* not a link: the file itself */)
            return true;
        if (errno != ENOENT)
            return false;
    }

    if (n < 1)
        return false;
    len = snprintf(path, size, "/dev/ttyS%ld", n - 1);
    return len > 0 && (size_t)len < size;
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

enum Wait { READY, TIMED_OUT, CLOSING };

// Waits for the descriptor to become ready, until the deadline (-1: none) or
// until the port is closed. READY also when the call that follows should run
// to report the error.
Wait waitFor(int fd, short events, long long deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - nowMs();
            if (left <= 0)
                return TIMED_OUT;
            timeout = left > INT_MAX ? INT_MAX : (int)left;
        }
        struct pollfd p[2] = {{fd, events, 0}, {portWake[0], POLLIN, 0}};
        int r = poll(p, 2, timeout);
        if (r > 0)
            return p[1].revents ? CLOSING : READY;
        if (r == 0)
            return TIMED_OUT;
        if (errno != EINTR)
            return READY;
    }
}

// The deadline of a transfer of n bytes under Win32's total time-out rule,
// where zero multiplier and constant mean no limit (-1). The clock is read
// only when a wait first needs it: a poll that never waits never pays for it.
struct Deadline {
    DWORD multiplier, constant, n;
    long long at = -2; // not yet asked for

    long long get()
    {
        if (at == -2) {
            unsigned long long ms = (unsigned long long)multiplier * n + constant;
            at = ms ? nowMs() + (long long)ms : -1;
        }
        return at;
    }
};

// The open port's descriptor with its current settings in t; -1 when h is
// not the open port, there is no record, or the device has no settings.
int portSettings(HANDLE h, const DCB *dcb, struct termios *t)
{
    int fd = openFd(h);
    return fd >= 0 && dcb && tcgetattr(fd, t) == 0 ? fd : -1;
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

BOOL modemLines(int fd, int request, int lines)
{
    // A pseudo-terminal has no modem lines; that is no error.
    return ioctl(fd, request, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
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
    struct termios t;
    int fd = portSettings(h, dcb, &t);
    if (fd < 0)
        return FALSE;

    DWORD length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;

    speed_t code = cfgetospeed(&t);
    for (const auto &r : standardRates)
        if (r.code == code)
            dcb->BaudRate = r.rate;
#ifdef RUVEK_HAVE_TERMIOS2
    struct termios2 t2;
    if ((t.c_cflag & CBAUD) == RUVEK_BOTHER && ioctl(fd, TCGETS2, &t2) == 0)
        dcb->BaudRate = t2.c_ospeed;
#endif

    switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    dcb->Parity = !(t.c_cflag & PARENB) ? 0 : (t.c_cflag & PARODD) ? 1 : 2; // NOPARITY, ODD, EVEN
    dcb->StopBits = (t.c_cflag & CSTOPB) ? 2 : ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) != 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb->fOutX = (t.c_iflag & IXON) != 0;
    dcb->fInX = (t.c_iflag & IXOFF) != 0;

    int lines = 0;
    bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
    dcb->fDtrControl = haveLines && (lines & TIOCM_DTR) ? 1 : DTR_CONTROL_DISABLE;
    dcb->fRtsControl = (t.c_cflag & CRTSCTS) ? 2 : haveLines && (lines & TIOCM_RTS) ? 1 : RTS_CONTROL_DISABLE;

    dcb->XonChar = (char)t.c_cc[VSTART];
    dcb->XoffChar = (char)t.c_cc[VSTOP];
    dcb->EofChar = (char)t.c_cc[VEOF];
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    struct termios t;
    int fd = portSettings(h, dcb, &t);
    if (fd < 0)
        return FALSE;

    // What termios cannot do is refused rather than quietly ignored.
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (dcb->BaudRate == 0 /* would hang up */ || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > 2 /* mark, space */ || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != 2) ||
        dcb->fOutxDsrFlow || dcb->fDsrSensitivity || dcb->fDtrControl > 1 || dcb->fRtsControl == 3)
        return FALSE;

    speed_t code = B38400; // stand-in for a rate set below through termios2
    bool standard = rateCode(dcb->BaudRate, &code);
#ifndef RUVEK_HAVE_TERMIOS2
    if (!standard)
        return FALSE;
#endif

    // Raw: every byte passes as it is, in both directions.
    cfmakeraw(&t);
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK | IGNPAR);
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    if (dcb->fParity)
        t.c_iflag |= INPCK;
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= sizes[dcb->ByteSize - 5] | CREAD | CLOCAL;
    if (dcb->Parity)
        t.c_cflag |= PARENB | (dcb->Parity == 1 ? PARODD : 0);
    if (dcb->StopBits == 2)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == 2)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1; // with O_NONBLOCK, "nothing yet" reads as EAGAIN, not as end of file
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = (cc_t)dcb->XonChar;
    t.c_cc[VSTOP] = (cc_t)dcb->XoffChar;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0 || tcsetattr(fd, TCSANOW, &t) != 0)
        return FALSE;

#ifdef RUVEK_HAVE_TERMIOS2
    if (!standard) {
        struct termios2 t2;
        if (ioctl(fd, TCGETS2, &t2) != 0)
            return FALSE;
        t2.c_cflag = (t2.c_cflag & ~(tcflag_t)CBAUD) | RUVEK_BOTHER;
        t2.c_ispeed = t2.c_ospeed = dcb->BaudRate;
        if (ioctl(fd, TCSETS2, &t2) != 0 || ioctl(fd, TCGETS2, &t2) != 0 || t2.c_ospeed != dcb->BaudRate)
            return FALSE;
    }
#endif

    // tcsetattr succeeds when any part was applied: check what matters stuck.
    struct termios check;
    const tcflag_t format = CSIZE | PARENB | PARODD | CSTOPB;
    if (tcgetattr(fd, &check) != 0 || (check.c_cflag & format) != (t.c_cflag & format) ||
        (standard && cfgetospeed(&check) != code))
        return FALSE;

    return modemLines(fd, dcb->fDtrControl ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) &&
           (dcb->fRtsControl == 2 || modemLines(fd, dcb->fRtsControl ? TIOCMBIS : TIOCMBIC, TIOCM_RTS));
}

} // extern "C"

namespace {

// The read proper, for a caller holding the read turn on the port's descriptor fd.
BOOL readPort(int fd, char *out, DWORD toRead, DWORD *read)
{
    DWORD interval = portTimeouts.readInterval, multiplier = portTimeouts.readMultiplier,
          constant = portTimeouts.readConstant;
    // Interval MAXDWORD with both totals zero: return at once with what is there.
    bool atOnce = interval == MAXDWORD && multiplier == 0 && constant == 0;
    Deadline deadline{multiplier, constant, toRead};
    ReadAhead &ahead = readAhead;

    while (*read < toRead) {
        DWORD start = ahead.start, end = ahead.end;
        if (start >= end) {
            // Polling: FIONREAD answers "nothing" for less than a read(2) that
            // finds nothing. A hung-up device fails it (EIO), and the read
            // below reports that; a driver that answers 0 instead still meets
            // a read on every 64th quiet poll.
            int waiting = 0;
            if (atOnce && ioctl(fd, FIONREAD, &waiting) == 0 && waiting <= 0 && ++ahead.quietPolls % 64 != 0)
                break;
            ssize_t n = ::read(fd, ahead.bytes, sizeof ahead.bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return FALSE; // the device is gone
            if (n < 0) {
                if (atOnce || (*read > 0 && interval == MAXDWORD))
                    break;
                Wait w = waitFor(fd, POLLIN, deadline.get());
                if (w == CLOSING)
                    return FALSE;
                if (w == TIMED_OUT)
                    break;
                continue;
            }
            start = ahead.start = 0;
            end = ahead.end = (DWORD)n;
        }

        DWORD n = end - start < toRead - *read ? end - start : toRead - *read;
        memcpy(out + *read, ahead.bytes + start, n);
        ahead.start = start + n;
        *read += n;
        // After the first byte, the interval time-out bounds the wait for the next.
        if (interval && interval != MAXDWORD && *read < toRead) {
            long long next = nowMs() + interval, total = deadline.get();
            deadline.at = total < 0 || next < total ? next : total;
        }
    }
    return TRUE;
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
        Wait w = waitFor(fd, POLLOUT, deadline.get());
        if (w == CLOSING)
            return FALSE;
        if (w == TIMED_OUT)
            break; // a write time-out: success with fewer bytes, as on Windows
    }
    return TRUE;
}

} // namespace

extern "C" {

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
