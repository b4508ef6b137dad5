// The natives of the named API (the Java class ruvek.LineNatives) that open,
// close and carry bytes: a line per open port, as many at once as the
// system allows, in a table of the lines open; reads that wait in the
// system for their first byte, and bulk transfers. Written against Win32
// like SerialPort's four; the port is opened for overlapped I/O, so a read
// waiting on one thread never holds up a write on another, and a cancel
// ends either at once. The line-control natives are lines_control.cpp's.
#include "lines.h"
#include "handles.h"

#include <new>
#include <stdint.h>
#include <stdlib.h>

using namespace ruvek_lines;

namespace {

// The lines open now, named by the handles Java keeps.
Handles<Line, 1024> lines;

Line *lineOf(jlong handle) { return lines.find(handle); }

} // namespace

namespace ruvek_lines {

jint failure(DWORD error) { return -(jint)(error ? error & 0x7FFFFFFF : ERROR_GEN_FAILURE); }

// A transfer aborted by no cancel of ours is one of the ways: Windows aborts
// what is pending on a removed device.
jint lineFailure(const Line &l, DWORD error)
{
    if (deviceGone(error) || (error == ERROR_OPERATION_ABORTED && !l.cancelled.load()))
        return failure(ERROR_DEVICE_REMOVED);
    return failure(error);
}

Line *usable(jlong handle, jint *error)
{
    Line *l = lineOf(handle);
    *error = !l ? failure(ERROR_INVALID_HANDLE) : l->cancelled.load() ? failure(ERROR_OPERATION_ABORTED) : 0;
    return *error ? nullptr : l;
}

bool formatOf(jint baud, jint dataBits, jint parity, jint stopBits, jint flow, jint options, LineFormat *f)
{
    if (baud <= 0 || dataBits < 5 || dataBits > 8 || parity < NOPARITY || parity > SPACEPARITY ||
        stopBits < ONESTOPBIT || stopBits > TWOSTOPBITS || flow < FLOW_NONE || flow > FLOW_XON_XOFF ||
        (options & ~(OPTION_LOW_LATENCY | OPTION_RS485)) || ((options & OPTION_RS485) && flow == FLOW_RTS_CTS))
        return false;
    *f = LineFormat{(DWORD)baud, (BYTE)dataBits, (BYTE)parity, (BYTE)stopBits, (BYTE)flow, (BYTE)options};
    return true;
}

} // namespace ruvek_lines

namespace {

// Codes of ours, never the system's (bit 29 marks a Win32 code as an
// application's): the driver refused the line's settings at open, with the
// field it refused (FIELD_*) in the low byte, or 0 when none could be named.
constexpr DWORD ERROR_SETTINGS_REFUSED = 0x20000000u;

// Win32's ERROR_TIMEOUT, by value: the layers' headers need not define it.
constexpr DWORD TIMED_OUT = 1460;

void release(Line *l)
{
    if (l->port != INVALID_HANDLE_VALUE)
        CloseHandle(l->port);
    if (l->readDone)
        CloseHandle(l->readDone);
    if (l->writeDone)
        CloseHandle(l->writeDone);
    if (l->eventDone)
        CloseHandle(l->eventDone);
    l->~Line();
    free(l);
}

} // namespace

namespace ruvek_lines {

// Makes a read wait up to ms (0: without limit) for all it asks. A read
// asks only for the bytes already waiting, or for one when none is, so it
// waits for the first byte alone. A plain total time-out, not the
// MAXDWORD pair meant for this, because Wine ignores that pair: its reads
// then wait until the buffer is full. With an interval, a read ends once
// that gap follows a byte (the gap read's), and the next plain read sets its own.
bool setReadWait(Line &l, DWORD ms, DWORD interval)
{
    if (interval == 0 && l.readWait == ms)
        return true;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = ms;
    // No write time-out: a write returns when the driver has taken it all.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(l.port, &t))
        return false;
    l.readWait = interval ? MAXDWORD : ms;
    return true;
}

// Whether a read's abort came from wakeRead, not from a cancel or a device
// gone: a wake that no read has answered yet, or the late end of one already
// answered (a layer may end the next read's wait for it) on a device that is
// still there.
static bool wokenBy(Line &l)
{
    unsigned wakes = l.wakes.load();
    if (wakes != l.wakesSeen) {
        l.wakesSeen = wakes;
        return true;
    }
    COMSTAT stat;
    DWORD errors = 0;
    if (wakes == 0 || !ClearCommError(l.port, &errors, &stat))
        return false;
    l.errorsSeen.fetch_or(errors);
    return true;
}

// Runs one overlapped transfer to its end: the bytes moved, or minus the
// error, ERROR_OPERATION_ABORTED when a cancel ended it or came before it.
// A read that wakeRead ended gives what it took, often nothing, and sets *woken.
jint transfer(Line &l, bool reading, void *buffer, DWORD n, bool *woken)
{
    // A transfer that would complete at once never meets the cancel's
    // CancelIoEx: after a cancel nothing starts, and nothing reaches the wire.
    if (l.cancelled.load())
        return failure(ERROR_OPERATION_ABORTED);
    OVERLAPPED writeRecord = {};
    OVERLAPPED &ov = reading ? l.readRecord : writeRecord;
    ov = OVERLAPPED{};
    ov.hEvent = reading ? l.readDone : l.writeDone;
    BOOL done = reading ? ReadFile(l.port, buffer, n, NULL, &ov) : WriteFile(l.port, buffer, n, NULL, &ov);
    if (!done) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return lineFailure(l, error);
        // A cancel or a wake that came before this transfer began found
        // nothing to end: either it is seen here, or it came after and ended this one.
        if (l.cancelled.load())
            CancelIoEx(l.port, NULL);
        else if (reading && l.wakes.load() != l.wakesSeen)
            CancelIoEx(l.port, &ov);
    }
    DWORD moved = 0;
    BOOL ok = GetOverlappedResult(l.port, &ov, &moved, TRUE);
    if (moved > 0 && l.looking.load(std::memory_order_relaxed))
        (reading ? l.reads : l.writes).fetch_add(1, std::memory_order_relaxed);
    if (!ok) {
        DWORD error = GetLastError();
        if (reading && error == ERROR_OPERATION_ABORTED && !l.cancelled.load() && wokenBy(l)) {
            if (woken)
                *woken = true;
            return (jint)moved;
        }
        // Bytes a cancelled read already took off the line are the caller's;
        // Wine reports a read's time-out as a failure, where Windows succeeds.
        if (reading && (moved > 0 || error == TIMED_OUT))
            return (jint)moved;
        return lineFailure(l, error);
    }
    return (jint)moved;
}

// The bytes received and not yet read, or minus the error.
jint waiting(Line &l)
{
    COMSTAT stat = {};
    DWORD errors = 0;
    if (!ClearCommError(l.port, &errors, &stat))
        return lineFailure(l, GetLastError());
    if (errors)
        l.errorsSeen.fetch_or(errors); // the event wait's to report
    return stat.cbInQue > 0x7FFFFFFF ? 0x7FFFFFFF : (jint)stat.cbInQue;
}

// Whether [off, off + len) lies inside the array; checked before any byte
// moves, whatever Java checked, so that no copy can fail half-way.
bool inside(JNIEnv *env, jbyteArray b, jint off, jint len)
{
    return b && off >= 0 && len >= 0 && off <= env->GetArrayLength(b) - len;
}


} // namespace ruvek_lines

namespace {

// Sets up a freshly opened port as a line in format f: 0, a refusal
// (ERROR_SETTINGS_REFUSED with the field), or the error of a device that
// went meanwhile. The raw line comes first, at f's rate; should the driver
// refuse that, at its own rate, so that the format then names the field.
DWORD configure(HANDLE port, const LineFormat &f)
{
    if (!configureLine(port, f.baud)) {
        DWORD error = GetLastError();
        if (deviceGone(error))
            return ERROR_DEVICE_REMOVED;
        DCB now = {};
        now.DCBlength = sizeof now;
        if (!GetCommState(port, &now) || !configureLine(port, now.BaudRate))
            return deviceGone(GetLastError()) ? ERROR_DEVICE_REMOVED : ERROR_SETTINGS_REFUSED;
    }
    int refused = applyFormat(port, &f);
    if (refused < 0) {
        DWORD error = GetLastError();
        return deviceGone(error) ? ERROR_DEVICE_REMOVED : error ? error : ERROR_GEN_FAILURE;
    }
    return refused ? ERROR_SETTINGS_REFUSED | (DWORD)refused : 0;
}

} // namespace

JNIEXPORT jlong JNICALL Java_ruvek_LineNatives_open(JNIEnv *env, jclass, jbyteArray name, jint baud, jint dataBits,
                                                    jint parity, jint stopBits, jint flow, jint options)
{
    char path[1024];
    LineFormat format;
    jsize n = env->GetArrayLength(name);
    if (n <= 0 || (size_t)n > sizeof path || !formatOf(baud, dataBits, parity, stopBits, flow, options, &format))
        return failure(ERROR_INVALID_PARAMETER);
    env->GetByteArrayRegion(name, 0, n, reinterpret_cast<jbyte *>(path));
    if (path[n - 1] != 0)
        return failure(ERROR_INVALID_PARAMETER);

    // malloc, not new: libstdc++'s allocation, and the unwinder with it,
    // would come into the library and raise the glibc it needs.
    void *memory = malloc(sizeof(Line));
    if (!memory)
        return failure(ERROR_NOT_ENOUGH_MEMORY);
    Line *l = new (memory) Line;
    l->readDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    l->writeDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!l->readDone || !l->writeDone) {
        jint error = failure(GetLastError());
        release(l);
        return error;
    }
    l->port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (l->port == INVALID_HANDLE_VALUE) {
        jint error = failure(GetLastError());
        release(l);
        return error;
    }
    // The queues' sizes are a wish the driver may ignore; a refusal changes nothing.
    SetupComm(l->port, CHUNK, CHUNK);
    DWORD refused = configure(l->port, format);
    if (refused) {
        release(l);
        return failure(refused);
    }
    // Without our time-outs a read could return at once or wait for ever.
    if (!setReadWait(*l, 0)) {
        jint error = failure(GetLastError());
        release(l);
        return error;
    }
    jlong h = lines.enter(l);
    if (!h) {
        release(l);
        return failure(ERROR_NOT_ENOUGH_MEMORY); // Windows' answer to too many open handles
    }
    return h;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_read(JNIEnv *env, jclass, jlong handle, jbyteArray b, jint off,
                                                   jint len, jint timeoutMs)
{
    jint error;
    Line *line = usable(handle, &error);
    if (!line)
        return error;
    Line &l = *line;
    // No byte is taken off the line that can't be delivered.
    if (len <= 0 || timeoutMs < 0 || !inside(env, b, off, len))
        return failure(ERROR_INVALID_PARAMETER);
    if (!setReadWait(l, (DWORD)timeoutMs))
        return failure(GetLastError());
    DWORD want = atMost(len, CHUNK);
    for (;;) {
        // A line whose device has gone may still hold bytes that came
        // before: when the count fails, the read itself says what is left.
        jint ready = waiting(l);
        DWORD asked = ready > 0 ? atMost(ready, want) : 1;
        bool woken = false;
        jint got = transfer(l, true, l.in, asked, &woken);
        // The first byte ended the wait; what came with it is taken too.
        if (got == 1 && asked == 1 && want > 1 && (ready = waiting(l)) > 0) {
            jint more = transfer(l, true, l.in + 1, atMost(ready, want - 1));
            if (more > 0)
                got += more;
        }
        if (got > 0) {
            env->SetByteArrayRegion(b, off, got, reinterpret_cast<jbyte *>(l.in));
            if (env->ExceptionCheck())
                return failure(ERROR_INVALID_PARAMETER);
        }
        if (got != 0 || timeoutMs != 0 || woken)
            return got;
    }
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_write(JNIEnv *env, jclass, jlong handle, jbyteArray b, jint off,
                                                    jint len)
{
    jint error;
    Line *line = usable(handle, &error);
    if (!line)
        return error;
    Line &l = *line;
    // A range outside the array sends nothing, least of all what the buffer held before.
    if (!inside(env, b, off, len))
        return failure(ERROR_INVALID_PARAMETER);
    for (jint done = 0; done < len;) {
        DWORD n = (DWORD)(len - done) < CHUNK ? (DWORD)(len - done) : CHUNK;
        env->GetByteArrayRegion(b, off + done, (jsize)n, reinterpret_cast<jbyte *>(l.out));
        if (env->ExceptionCheck())
            return failure(ERROR_INVALID_PARAMETER);
        jint put = transfer(l, false, l.out, n);
        if (put < 0)
            return put;
        // With no write time-out, the driver takes all or fails: nothing taken is a fault.
        if (put == 0)
            return failure(ERROR_GEN_FAILURE);
        done += put;
    }
    return len;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_available(JNIEnv *, jclass, jlong handle)
{
    return onLine(handle, waiting);
}

JNIEXPORT void JNICALL Java_ruvek_LineNatives_cancel(JNIEnv *, jclass, jlong handle)
{
    Line *l = lineOf(handle);
    if (!l)
        return;
    l->cancelled.store(true);
    CancelIoEx(l->port, NULL);
}

// Java calls it only while the line is open, never beside its close.
JNIEXPORT void JNICALL Java_ruvek_LineNatives_wakeRead(JNIEnv *, jclass, jlong handle)
{
    Line *l = lineOf(handle);
    if (!l)
        return;
    l->wakes.fetch_add(1);
    CancelIoEx(l->port, &l->readRecord);
}

JNIEXPORT jboolean JNICALL Java_ruvek_LineNatives_close(JNIEnv *, jclass, jlong handle)
{
    Line *l = lines.leave(handle);
    if (!l)
        return JNI_FALSE;
    BOOL ok = CloseHandle(l->port);
    l->port = INVALID_HANDLE_VALUE;
    release(l);
    return ok ? JNI_TRUE : JNI_FALSE;
}
