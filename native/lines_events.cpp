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

// Whether an abort came from wakeEvents, not from a cancel or a device gone:
// a wake that no wait has answered yet, or the late end of one (a layer may
// end the next wait for it), or a changed mask, on a device still there.
bool eventWoken(Line &l)
{
    unsigned wakes = l.eventWakes.load();
    if (wakes != l.eventWakesSeen) {
        l.eventWakesSeen = wakes;
        return true;
    }
    COMSTAT stat;
    DWORD errors = 0;
    if (!ClearCommError(l.port, &errors, &stat))
        return false;
    l.errorsSeen.fetch_or(errors);
    return true;
}

// The wait proper: 0 with *woken or l.happened set, or minus the error.
jint waitOn(Line &l, bool *woken)
{
    if (l.cancelled.load())
        return failure(ERROR_OPERATION_ABORTED);
    l.happened = 0;
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
            if (error == ERROR_OPERATION_ABORTED && !l.cancelled.load() && eventWoken(l)) {
                *woken = true;
                return 0;
            }
            return lineFailure(l, error);
        }
    }
    // Nothing came: the mask was changed under the wait, as only a wake does here.
    if (l.happened == 0)
        *woken = true;
    return 0;
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
