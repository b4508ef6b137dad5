// The termios layer's line events: SetCommMask and WaitCommEvent, whose wait
// GetOverlappedResult runs on the caller's thread, with no thread of ours.
// Arrivals come from epoll over the device, edge-triggered, so that each is
// told once; breaks, line errors and modem-line changes from the driver's
// TIOCGICOUNT counts. Poll can't wait for modem lines: where they are asked
// for, the wait sits in TIOCMIWAIT, and SIGIO ends it for everything else
// (the device's own, through O_ASYNC, and a wake's, sent to the thread).
#include "port.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ruvek_termios {
namespace {

constexpr DWORD LINE_EVENTS = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD ALL_EVENTS = EV_RXCHAR | EV_TXEMPTY | LINE_EVENTS | EV_BREAK | EV_ERR;
constexpr int LINES = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

// SIGIO's handler, ours where nobody had one (its default ends the process,
// so no program relies on that): it does nothing but note the signal, and
// leave the window before TIOCMIWAIT, where a signal would be lost.
// Initial-exec: a handler must not be the first to touch a thread's TLS.
#define RUVEK_TLS thread_local __attribute__((tls_model("initial-exec")))
RUVEK_TLS volatile sig_atomic_t signalled = 0;
RUVEK_TLS sigjmp_buf *volatile window = nullptr;
std::atomic<int> handler{0}; // 0 not yet tried, 1 ours, -1 someone else's

// fcntl through the system call: on i386, glibc 2.28 and later bind the
// wrapper to fcntl64, above the floor we build for; no command here takes
// an offset.
long control(int fd, int command, long arg = 0)
{
    return syscall(SYS_fcntl, fd, command, arg);
}

void onSignal(int)
{
    signalled = 1;
    sigjmp_buf *w = window;
    if (w) {
        window = nullptr;
        siglongjmp(*w, 1);
    }
}

bool ownSignal()
{
    if (handler.load() == 0) {
        Lifecycle lock;
        struct sigaction now;
        if (handler.load() == 0) {
            if (sigaction(SIGIO, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
                struct sigaction a = {};
                a.sa_handler = onSignal; // no SA_RESTART: TIOCMIWAIT then fails with EINTR
                sigemptyset(&a.sa_mask);
                handler.store(sigaction(SIGIO, &a, nullptr) == 0 ? 1 : -1);
            } else {
                handler.store(now.sa_handler == onSignal ? 1 : -1);
            }
        }
    }
    return handler.load() == 1;
}

bool readCounts(int fd, struct serial_icounter_struct *c) { return ioctl(fd, TIOCGICOUNT, c) == 0; }

long errorsOf(const struct serial_icounter_struct &c) { return (long)c.frame + c.parity + c.overrun + c.buf_overrun; }

void drain(int fd)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// What came since the last report, among the mask's events; the report's
// baselines move on.
DWORD newEvents(Port &p, DWORD mask)
{
    EventState &e = p.events;
    DWORD happened = 0;
    struct serial_icounter_struct c;
    if (e.counts && readCounts(p.fd, &c)) {
        if (c.cts != e.seen.cts) happened |= EV_CTS;
        if (c.dsr != e.seen.dsr) happened |= EV_DSR;
        if (c.dcd != e.seen.dcd) happened |= EV_RLSD;
        if (c.rng != e.seen.rng) happened |= EV_RING;
        if (c.brk != e.seen.brk) happened |= EV_BREAK;
        if (errorsOf(c) != errorsOf(e.seen)) happened |= EV_ERR;
        if (c.rx != e.seen.rx) e.arrived = true;
        e.seen = c;
    }
    int lines;
    if ((mask & LINE_EVENTS) && ioctl(p.fd, TIOCMGET, &lines) == 0) {
        // Without counts, a change is a change of level.
        int moved = (lines ^ e.lines) & LINES;
        if (moved & TIOCM_CTS) happened |= EV_CTS;
        if (moved & TIOCM_DSR) happened |= EV_DSR;
        if (moved & TIOCM_CD) happened |= EV_RLSD;
        if (moved & TIOCM_RNG) happened |= EV_RING;
        e.lines = lines;
    }
    if (e.arrived) {
        e.arrived = false;
        int waiting = 0;
        if (ioctl(p.fd, FIONREAD, &waiting) == 0 && (waiting > 0 || p.ahead.held.load() > 0))
            happened |= EV_RXCHAR;
    }
    if ((mask & EV_TXEMPTY) && e.outPending.load()) {
        int queued = 0;
        if (ioctl(p.fd, TIOCOUTQ, &queued) == 0 && queued == 0 && e.outPending.exchange(false))
            happened |= EV_TXEMPTY;
    }
    return happened & mask;
}

bool watch(int poller, int fd, uint32_t events, int op = EPOLL_CTL_ADD)
{
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(poller, op, fd, &ev) == 0;
}

// The device's epoll events for a mask: arrivals for the events that come
// with bytes (breaks and errors only where the driver counts them), room in
// the output for TXEMPTY; a hang-up always.
uint32_t deviceEvents(DWORD mask, bool counts)
{
    uint32_t ev = EPOLLET;
    if (mask & (EV_RXCHAR | (counts ? EV_BREAK | EV_ERR : 0)))
        ev |= EPOLLIN;
    if (mask & EV_TXEMPTY)
        ev |= EPOLLOUT;
    return ev;
}

// Sets up p's event state on its first mask: the pipe, the epoll, the baselines.
BOOL arm(Port &p)
{
    EventState &e = p.events;
    if (e.poller >= 0)
        return TRUE;
    if (pipe2(e.wake, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(e.wrote, O_CLOEXEC | O_NONBLOCK) != 0 ||
        (e.poller = epoll_create1(EPOLL_CLOEXEC)) < 0 || !watch(e.poller, p.wake[0], EPOLLIN) ||
        !watch(e.poller, e.wake[0], EPOLLIN) || !watch(e.poller, e.wrote[0], EPOLLIN) ||
        !watch(e.poller, p.fd, EPOLLET)) {
        DWORD error = errorOf(errno);
        releaseEvents(p);
        return fail(error);
    }
    e.counts = readCounts(p.fd, &e.seen);
    e.cleared = e.seen;
    if (ioctl(p.fd, TIOCMGET, &e.lines) != 0)
        e.lines = 0;
    return TRUE;
}

enum Verdict { AGAIN, ABORTED, GONE };

// Whether a wake or a hang-up has come: a look that never waits.
Verdict lookNow(Port &p)
{
    struct pollfd f[3] = {{p.wake[0], POLLIN, 0}, {p.events.wake[0], POLLIN, 0}, {p.fd, 0, 0}};
    if (poll(f, 3, 0) <= 0)
        return AGAIN;
    if (f[0].revents)
        return ABORTED;
    if (f[1].revents) {
        drain(p.events.wake[0]);
        return ABORTED;
    }
    return f[2].revents & (POLLHUP | POLLERR) ? GONE : AGAIN;
}

// Waits in epoll for an arrival, room, a wake or a hang-up; up to 5 ms while
// written bytes are still queued, since a driver wakes writers when it has
// room, not when its queue runs dry.
Verdict waitPolled(Port &p, DWORD mask)
{
    EventState &e = p.events;
    int timeout = (mask & EV_TXEMPTY) && e.outPending.load() ? 5 : -1;
    struct epoll_event ready[4];
    int n = epoll_wait(e.poller, ready, 4, timeout);
    if (n < 0 && errno != EINTR)
        return GONE;
    for (int i = 0; i < n; i++) {
        int fd = ready[i].data.fd;
        if (fd == p.wake[0])
            return ABORTED;
        if (fd == e.wake[0]) {
            drain(fd);
            return ABORTED;
        }
        if (fd == e.wrote[0]) {
            drain(fd);
            continue;
        }
        if (ready[i].events & (EPOLLHUP | EPOLLERR))
            return GONE;
        if (ready[i].events & EPOLLIN)
            e.arrived = true;
    }
    return AGAIN;
}

// Waits in TIOCMIWAIT until a modem line changes, or until SIGIO comes for
// anything else: what a look then finds, in *now, or a wake or hang-up.
// *inLines goes false when the driver has no such wait after all.
Verdict waitInLines(Port &p, DWORD mask, DWORD *now, bool *inLines)
{
    for (;;) {
        signalled = 0;
        // What came before the signal could reach us is seen here.
        Verdict v = lookNow(p);
        if (v != AGAIN || (*now = newEvents(p, mask)) != 0)
            return v;
        sigjmp_buf jump;
        if (sigsetjmp(jump, 1) != 0)
            continue; // a signal just before the wait: look again
        window = &jump;
        if (signalled) {
            window = nullptr;
            continue;
        }
        int r = ioctl(p.fd, TIOCMIWAIT, LINES);
        int error = errno;
        window = nullptr;
        if (r != 0 && (error == ENOTTY || error == EINVAL || error == ENOSYS)) {
            *inLines = false;
            return AGAIN;
        }
    }
}

} // namespace

void wakeEvents(Port &p)
{
    int tid = p.events.waiter.load();
    if (tid)
        syscall(SYS_tgkill, (int)getpid(), tid, SIGIO);
}

void wroteOut(Port &p)
{
    EventState &e = p.events;
    // The write path pays one load unless TXEMPTY is asked for.
    if ((e.mask.load(std::memory_order_relaxed) & EV_TXEMPTY) && !e.outPending.exchange(true)) {
        (void)!write(e.wrote[1], "", 1);
        wakeEvents(p);
    }
}

void releaseEvents(Port &p)
{
    EventState &e = p.events;
    if (e.poller >= 0)
        close(e.poller);
    e.poller = -1;
    closePipe(e.wake);
    closePipe(e.wrote);
    e.mask.store(0);
    e.pending.store(nullptr);
    e.happened = nullptr;
    e.counts = e.arrived = false;
    e.outPending.store(false);
    e.seen = e.cleared = {};
    e.lines = 0;
}

DWORD lineErrors(Port &p)
{
    EventState &e = p.events;
    if (!(e.mask.load() & (EV_BREAK | EV_ERR)) || !e.counts)
        return 0;
    HoldTurn turn(e.errorTurn);
    struct serial_icounter_struct c;
    if (!readCounts(p.fd, &c))
        return 0;
    DWORD errors = 0;
    if (c.frame != e.cleared.frame) errors |= CE_FRAME;
    if (c.parity != e.cleared.parity) errors |= CE_RXPARITY;
    if (c.overrun != e.cleared.overrun || c.buf_overrun != e.cleared.buf_overrun) errors |= CE_OVERRUN;
    if (c.brk != e.cleared.brk) errors |= CE_BREAK;
    e.cleared = c;
    return errors;
}

BOOL waitEvent(Port &p, DWORD *happened)
{
    EventState &e = p.events;
    DWORD mask = e.mask.load();
    // Modem lines are waited for in the driver, where it keeps their counts
    // and SIGIO can be ours; else their levels are compared at each wake.
    bool inLines = (mask & LINE_EVENTS) && e.counts && ownSignal();
    int flags = -1;
    if (inLines) {
        struct f_owner_ex owner = {F_OWNER_TID, (pid_t)syscall(SYS_gettid)};
        flags = (int)control(p.fd, F_GETFL);
        if (flags < 0 || control(p.fd, F_SETOWN_EX, (long)&owner) != 0 ||
            control(p.fd, F_SETFL, flags | O_ASYNC) != 0) {
            inLines = false;
        } else {
            // Set before the first look: a wake that comes after it signals us.
            e.waiter.store(owner.pid);
        }
    }
    Verdict v = AGAIN;
    for (;;) {
        DWORD now = newEvents(p, mask);
        if (now) {
            *happened = now;
            break;
        }
        if (v != AGAIN)
            break;
        // Written bytes still queued are looked for in epoll, which can time out.
        if (inLines && !((mask & EV_TXEMPTY) && e.outPending.load())) {
            v = waitInLines(p, mask, &now, &inLines);
            if (now) {
                *happened = now;
                break;
            }
        } else {
            v = waitPolled(p, mask);
        }
    }
    if (flags >= 0) {
        e.waiter.store(0);
        control(p.fd, F_SETFL, flags);
    }
    if (v == ABORTED && !*happened)
        return fail(ERROR_OPERATION_ABORTED);
    if (v == GONE && !*happened)
        return fail(ERROR_DEVICE_REMOVED);
    return TRUE;
}

extern "C" {

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    if (mask & ~ALL_EVENTS)
        return fail(ERROR_INVALID_PARAMETER);
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    if (!arm(*p))
        return FALSE;
    EventState &e = p->events;
    if (!watch(e.poller, p->fd, deviceEvents(mask, e.counts), EPOLL_CTL_MOD))
        return fail(lineErrorOf(errno));
    DWORD was = e.mask.exchange(mask);
    // A wait in progress ends, as on Windows.
    if (was != mask && e.pending.load()) {
        (void)!write(e.wake[1], "", 1);
        wakeEvents(*p);
    }
    return TRUE;
}

BOOL WaitCommEvent(HANDLE h, DWORD *happened, OVERLAPPED *overlapped)
{
    if (!happened || !overlapped)
        return fail(ERROR_INVALID_PARAMETER); // the ports here are all overlapped ones
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    if (p->events.mask.load() == 0)
        return fail(ERROR_INVALID_PARAMETER);
    *happened = 0;
    p->events.happened = happened;
    overlapped->Internal = 0x103; // pending, until GetOverlappedResult's wait ends it
    p->events.pending.store(overlapped);
    return fail(ERROR_IO_PENDING);
}

} // extern "C"

} // namespace ruvek_termios
