// The termios layer's settings and line control: time-outs, the line's
// format through settings.cpp, the bytes waiting, the modem lines, break,
// purge and drain, each on an open port.
#include "port.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace ruvek_termios {
namespace {

// A device without modem lines or a break (a pseudo-terminal) answers
// ENOTTY or EINVAL, a system without the ioctl ENOSYS: the call is not
// supported there, never quietly done.
BOOL failControl(int e) { return fail(e == ENOTTY || e == EINVAL || e == ENOSYS ? ERROR_NOT_SUPPORTED : lineErrorOf(e)); }

BOOL lineControl(HANDLE h, unsigned long request, int bits)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    return ioctl(p->fd, request, &bits) == 0 ? TRUE : failControl(errno);
}

} // namespace

extern "C" {

BOOL ClearCommError(HANDLE h, DWORD *errors, COMSTAT *stat)
{
    // No lock: FIONREAD is one call, and the read-ahead's count is one word.
    Port *p = portOf(h);
    int waiting = 0;
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    if (ioctl(p->fd, FIONREAD, &waiting) != 0)
        return fail(lineErrorOf(errno));
    if (errors)
        *errors = lineErrors(*p); // counted only while an event mask asks for them
    if (stat) {
        *stat = COMSTAT{};
        // Bytes read ahead before a purge are gone, though the next read drops them.
        DWORD held = p->purged.load() ? 0 : p->ahead.held.load(std::memory_order_relaxed);
        stat->cbInQue = (DWORD)(waiting > 0 ? waiting : 0) + held;
    }
    return TRUE;
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
        return failControl(errno);
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
        return fail(lineErrorOf(errno));
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
    return tcdrain(p->fd) == 0 || errno == ENOTTY ? TRUE : fail(lineErrorOf(errno));
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
    return readSettings(p->fd, dcb) ? TRUE : fail(lineErrorOf(errno));
}

BOOL SetCommState(HANDLE h, DCB *dcb)
{
    Lifecycle lock;
    Port *p = portOf(h);
    if (!p || !dcb)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD error = applySettings(p->fd, *dcb);
    return error ? fail(error) : TRUE;
}

} // extern "C"

} // namespace ruvek_termios
