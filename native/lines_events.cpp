// The named API's event natives: a wait for a line's events (data, modem
// lines, breaks, line errors, output empty) in WaitCommEvent, overlapped,
// which a wake or a cancel ends at once; with the lines' levels, the errors
// seen and the bytes waiting, read as the wait ends.
#include "lines.h"

using namespace ruvek_lines;

namespace {

constexpr DWORD LINE_EVENTS = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD ALL_EVENTS = EV_RXCHAR | EV_TXEMPTY | LINE_EVENTS | EV_BREAK | EV_ERR;
constexpr DWORD ALL_ERRORS = CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;
// An answer's flag: the wait ended for a wake, with nothing to tell.
constexpr jlong WOKEN = 1LL << 30;

// How often a line whose system can't wait for its events is looked at.
constexpr DWORD LOOK_MS = 20;

enum Ending { NOT_WOKEN, WAKE, QUIET };

// Why a wait ended with nothing, not for a cancel or a device gone: a wake
// that no wait has answered yet; or QUIET, the late end of one (a layer may
// end the next wait for it), a changed mask, or a system that didn't wait.
Ending eventWoken(Line &l)
{
    unsigned wakes = l.eventWakes.load();
    if (wakes != l.eventWakesSeen) {
        l.eventWakesSeen = wakes;
        return WAKE;
    }
    COMSTAT stat;
    DWORD errors = 0;
    if (!ClearCommError(l.port, &errors, &stat))
        return NOT_WOKEN;
    l.errorsSeen.fetch_or(errors);
    return QUIET;
}

// The events of mask that a look at the line finds since the last one: 0
// with l.happened set or *woken, or minus the error. Until something comes,
// it looks every LOOK_MS: a wake is seen at the next look, a cancel too.
jint look(Line &l, bool *woken)
{
    DWORD mask = l.eventMask;
    for (;;) {
        if (l.cancelled.load())
            return failure(ERROR_OPERATION_ABORTED);
        unsigned wakes = l.eventWakes.load();
        if (wakes != l.eventWakesSeen) {
            l.eventWakesSeen = wakes;
            *woken = true;
            return 0;
        }
        COMSTAT stat = {};
        DWORD errors = 0, lines = 0;
        if (!ClearCommError(l.port, &errors, &stat))
            return lineFailure(l, GetLastError());
        errors |= l.errorsSeen.load();
        if ((mask & LINE_EVENTS) && !GetCommModemStatus(l.port, &lines))
            return lineFailure(l, GetLastError());
        // Bytes came if more wait than before, or any wait after a read took some.
        unsigned reads = l.reads.load(std::memory_order_relaxed), writes = l.writes.load(std::memory_order_relaxed);
        DWORD happened = 0, changed = lines ^ l.lookLines;
        if (stat.cbInQue > l.lookQueue || (stat.cbInQue > 0 && reads != l.lookReads))
            happened |= EV_RXCHAR;
        if (stat.cbOutQue == 0 && (l.lookOut > 0 || writes != l.lookWrites))
            happened |= EV_TXEMPTY;
        l.lookReads = reads;
        l.lookWrites = writes;
        happened |= (changed & MS_CTS_ON ? EV_CTS : 0) | (changed & MS_DSR_ON ? EV_DSR : 0) |
                    (changed & MS_RING_ON ? EV_RING : 0) | (changed & MS_RLSD_ON ? EV_RLSD : 0);
        happened |= (errors & CE_BREAK ? EV_BREAK : 0) | (errors & (ALL_ERRORS & ~CE_BREAK) ? EV_ERR : 0);
        l.lookQueue = stat.cbInQue;
        l.lookOut = stat.cbOutQue;
        l.lookLines = lines;
        l.errorsSeen.fetch_or(errors); // for the answer
        if ((happened &= mask) != 0) {
            l.happened = happened;
            return 0;
        }
        Sleep(LOOK_MS);
    }
}

// A wait that ended with nothing and no wake: once is a late wake's end,
// and the wait begins again (*again); twice in a row, a system that doesn't
// wait, and the line is looked at instead.
jint endedQuietly(Line &l, bool *woken, bool *again)
{
    if (++l.quietEnds < 2) {
        *again = true;
        return 0;
    }
    l.looking = true;
    l.lookQueue = 0;
    l.lookOut = 0;
    l.lookReads = l.reads.load();
    l.lookWrites = l.writes.load();
    if ((l.eventMask & LINE_EVENTS) && !GetCommModemStatus(l.port, &l.lookLines))
        return lineFailure(l, GetLastError());
    return look(l, woken);
}

// One wait: 0 with *woken or l.happened set, or *again; or minus the error.
jint waitOnce(Line &l, bool *woken, bool *again)
{
    if (l.cancelled.load())
        return failure(ERROR_OPERATION_ABORTED);
    l.happened = 0;
    if (l.looking)
        return look(l, woken);
    l.eventRecord = OVERLAPPED{};
    l.eventRecord.hEvent = l.eventDone;
    if (!WaitCommEvent(l.port, &l.happened, &l.eventRecord)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return lineFailure(l, error);
        // A cancel or a wake before the wait began found nothing to end.
        if (l.cancelled.load())
            CancelIoEx(l.port, NULL);
        else if (l.eventWakes.load() != l.eventWakesSeen)
            CancelIoEx(l.port, &l.eventRecord);
        DWORD ignored = 0;
        if (!GetOverlappedResult(l.port, &l.eventRecord, &ignored, TRUE)) {
            error = GetLastError();
            Ending why = error == ERROR_OPERATION_ABORTED && !l.cancelled.load() ? eventWoken(l) : NOT_WOKEN;
            if (why == WAKE) {
                l.quietEnds = 0;
                *woken = true;
                return 0;
            }
            if (why == QUIET)
                return endedQuietly(l, woken, again);
            return lineFailure(l, error);
        }
    }
    // Nothing came: a wake changed the mask under the wait, or the system didn't wait.
    if (l.happened == 0) {
        unsigned wakes = l.eventWakes.load();
        if (wakes == l.eventWakesSeen)
            return endedQuietly(l, woken, again);
        l.eventWakesSeen = wakes;
        *woken = true;
    }
    l.quietEnds = 0;
    return 0;
}

// The wait proper: 0 with *woken or l.happened set, or minus the error.
jint waitOn(Line &l, bool *woken)
{
    for (;;) {
        bool again = false;
        jint r = waitOnce(l, woken, &again);
        if (!again)
            return r;
    }
}

// Sets the mask on the port where it changed: 0, or minus the error.
jint arm(Line &l, jint mask)
{
    if (mask <= 0 || ((DWORD)mask & ~ALL_EVENTS))
        return failure(ERROR_INVALID_PARAMETER);
    if (!l.eventDone && !(l.eventDone = CreateEventA(NULL, TRUE, FALSE, NULL)))
        return failure(GetLastError());
    if (l.eventMask != (DWORD)mask) {
        if (!SetCommMask(l.port, (DWORD)mask))
            return lineFailure(l, GetLastError());
        l.eventMask = (DWORD)mask;
    }
    return 0;
}

} // namespace

// The port counts its events from here on, for the waits that follow.
JNIEXPORT jint JNICALL Java_ruvek_LineNatives_setEventMask(JNIEnv *, jclass, jlong handle, jint mask)
{
    return onLine(handle, [mask](Line &l) { return arm(l, mask); });
}

// Packed: the events (EV_*) in bits 0-15, the modem lines (MS_* >> 4) in
// 16-19 when the mask asks for them, the line errors (CE_*) in 20-24, the
// bytes waiting in 32-62; WOKEN alone for a wake.
JNIEXPORT jlong JNICALL Java_ruvek_LineNatives_waitEvents(JNIEnv *, jclass, jlong handle, jint mask)
{
    jint error;
    Line *line = usable(handle, &error);
    if (!line)
        return error;
    Line &l = *line;
    if ((error = arm(l, mask)) != 0)
        return error;
    bool woken = false;
    jint failed = waitOn(l, &woken);
    if (failed)
        return failed;
    if (woken)
        return WOKEN;
    DWORD happened = l.happened & (DWORD)mask;
    COMSTAT stat = {};
    DWORD errors = 0;
    if (!ClearCommError(l.port, &errors, &stat))
        return lineFailure(l, GetLastError());
    errors = (errors | l.errorsSeen.exchange(0)) & ALL_ERRORS;
    DWORD lines = 0;
    if ((DWORD)mask & LINE_EVENTS) {
        if (!GetCommModemStatus(l.port, &lines))
            return lineFailure(l, GetLastError());
    }
    jlong waiting = stat.cbInQue > 0x7FFFFFFF ? 0x7FFFFFFF : stat.cbInQue;
    return (jlong)(happened & 0xFFFF) | (jlong)((lines >> 4) & 0xF) << 16 | (jlong)errors << 20 | waiting << 32;
}

// Java calls it only while the line is open, never beside its close.
JNIEXPORT void JNICALL Java_ruvek_LineNatives_wakeEvents(JNIEnv *, jclass, jlong handle)
{
    jint error;
    Line *l = usable(handle, &error);
    if (!l)
        return;
    l->eventWakes.fetch_add(1);
    CancelIoEx(l->port, &l->eventRecord);
}
