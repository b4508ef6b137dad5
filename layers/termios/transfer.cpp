// The termios layer's reads and writes: under Win32's time-outs, woken by a
// close, with the bytes one read(2) takes beyond what its caller asked for
// kept for the reads that follow; and overlapped records, whose transfers
// all end within their call.
#include "port.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ruvek_termios {
namespace {

// The write proper, for a caller holding p's write turn. False, with the
// reason in lastError, when the device failed or the port is closing.
BOOL writePort(Port &p, const char *in, DWORD toWrite, DWORD *written)
{
    Deadline deadline{p.writeMultiplier, p.writeConstant, toWrite};
    while (*written < toWrite) {
        ssize_t n = ::write(p.fd, in + *written, toWrite - *written);
        if (n > 0) {
            *written += (DWORD)n;
            wroteOut(p);
            // A write cut short filled the driver's queue: writing again at
            // once would only hear EAGAIN, a system call for nothing.
            if (*written == toWrite)
                break;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            return fail(lineErrorOf(errno));
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
        // End of file: the tty has hung up, as a pulled adapter's does.
        lastError = n < 0 ? lineErrorOf(errno) : ERROR_DEVICE_REMOVED;
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
    // A plain load first: a locked exchange on every read would tax each byte of recc.
    if (p.purged.load(std::memory_order_relaxed) && p.purged.exchange(false))
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
                Wait w = waitFor(p.fd, p.wake[0], POLLIN, deadline.get(), p.readWake[0]);
                if (w == CLOSING || w == WOKEN)
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

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED *ov, DWORD *transferred, BOOL wait)
{
    if (!ov || !transferred || ((uintptr_t)h & EVENT))
        return fail(ERROR_INVALID_PARAMETER);
    // An event wait is the one thing left pending: it waits here.
    Port *p = portOf(h);
    if (p && ov->Internal == 0x103 && p->events.pending.load() == ov) {
        if (!wait)
            return fail(ERROR_IO_INCOMPLETE);
        DWORD happened = 0;
        BOOL ok;
        {
            HoldTurn turn(p->eventTurn);
            ok = portOf(h) == p ? waitEvent(*p, &happened) : fail(ERROR_OPERATION_ABORTED);
            if (ok && p->events.happened)
                *p->events.happened = happened;
            p->events.pending.store(nullptr);
        }
        *transferred = 0;
        return complete(ov, ok, 0);
    }
    // Every transfer here has ended within its call, so there is nothing to wait for.
    *transferred = (DWORD)ov->InternalHigh;
    return ov->Internal == 0 ? TRUE : fail((DWORD)ov->Internal);
}

} // extern "C"

} // namespace ruvek_termios
