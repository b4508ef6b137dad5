// The natives of the named API (the Java class ruvek.LineNatives): a line
// per open port, as many at once as the system allows, reads that wait in
// the system for their first byte, and bulk transfers. Written against
// Win32 like SerialPort's four; the port is opened for overlapped I/O, so a
// read waiting on one thread never holds up a write on another, and a
// cancel ends either at once.
#include "ruvek_LineNatives.h"
#include "line.h"

#include <atomic>
#include <new>
#include <stdint.h>
#include <stdlib.h>

namespace {

// A code of ours, never the system's (bit 29 marks a Win32 code as an
// application's): the driver refused the line's settings.
constexpr DWORD ERROR_SETTINGS_REFUSED = 0x20000001u;

// What one native call moves through its buffer at most; a write loops
// over chunks until the whole range is taken.
constexpr DWORD CHUNK = 16384;

struct Line {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE readDone = 0, writeDone = 0; // the events of the two directions' transfers
    std::atomic<bool> cancelled{false};
    DWORD readWait = 0;                 // the read time-out's constant set on the port; 0: none yet
    // One reader and one writer at a time use them (the Java side takes turns).
    unsigned char in[CHUNK];
    unsigned char out[CHUNK];
};

Line *lineOf(jlong handle) { return reinterpret_cast<Line *>(static_cast<uintptr_t>(handle)); }

jint failure(DWORD error) { return -(jint)(error ? error & 0x7FFFFFFF : ERROR_GEN_FAILURE); }

void release(Line *l)
{
    if (l->port != INVALID_HANDLE_VALUE)
        CloseHandle(l->port);
    if (l->readDone)
        CloseHandle(l->readDone);
    if (l->writeDone)
        CloseHandle(l->writeDone);
    l->~Line();
    free(l);
}

// Makes a read wait up to ms (0: without limit) for its first byte, then
// return at once with what has arrived. No limit is the longest wait that
// Win32's rule allows; the read asks again when it passes.
bool setReadWait(Line &l, DWORD ms)
{
    DWORD constant = ms ? ms : MAXDWORD - 1;
    if (l.readWait == constant)
        return true;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = constant;
    // No write time-out: a write returns when the driver has taken it all.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(l.port, &t))
        return false;
    l.readWait = constant;
    return true;
}

// Runs one overlapped transfer to its end: the bytes moved, or minus the
// error, ERROR_OPERATION_ABORTED when a cancel ended it.
jint transfer(Line &l, bool reading, void *buffer, DWORD n)
{
    OVERLAPPED ov = {};
    ov.hEvent = reading ? l.readDone : l.writeDone;
    BOOL done = reading ? ReadFile(l.port, buffer, n, NULL, &ov) : WriteFile(l.port, buffer, n, NULL, &ov);
    if (!done) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return failure(error);
        // A cancel that came before this transfer began found nothing to
        // end: either it is seen here, or it came after and ended this one.
        if (l.cancelled.load())
            CancelIoEx(l.port, NULL);
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(l.port, &ov, &moved, TRUE))
        return failure(GetLastError());
    return (jint)moved;
}

} // namespace

JNIEXPORT jlong JNICALL Java_ruvek_LineNatives_open(JNIEnv *env, jclass, jbyteArray name, jint baud)
{
    char path[1024];
    jsize n = env->GetArrayLength(name);
    if (n <= 0 || (size_t)n > sizeof path || baud <= 0)
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
    if (!configureLine(l->port, (DWORD)baud)) {
        release(l);
        return failure(ERROR_SETTINGS_REFUSED);
    }
    // Without our time-outs a read could return at once or wait for ever.
    if (!setReadWait(*l, 0)) {
        jint error = failure(GetLastError());
        release(l);
        return error;
    }
    return (jlong)(uintptr_t)l;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_read(JNIEnv *env, jclass, jlong handle, jbyteArray b, jint off,
                                                   jint len, jint timeoutMs)
{
    Line &l = *lineOf(handle);
    if (len <= 0 || timeoutMs < 0)
        return failure(ERROR_INVALID_PARAMETER);
    if (!setReadWait(l, (DWORD)timeoutMs))
        return failure(GetLastError());
    DWORD want = (DWORD)len < CHUNK ? (DWORD)len : CHUNK;
    for (;;) {
        jint got = transfer(l, true, l.in, want);
        if (got > 0)
            env->SetByteArrayRegion(b, off, got, reinterpret_cast<jbyte *>(l.in));
        if (got != 0 || timeoutMs != 0)
            return got;
    }
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_write(JNIEnv *env, jclass, jlong handle, jbyteArray b, jint off,
                                                    jint len)
{
    Line &l = *lineOf(handle);
    if (len < 0)
        return failure(ERROR_INVALID_PARAMETER);
    for (jint done = 0; done < len;) {
        DWORD n = (DWORD)(len - done) < CHUNK ? (DWORD)(len - done) : CHUNK;
        env->GetByteArrayRegion(b, off + done, (jsize)n, reinterpret_cast<jbyte *>(l.out));
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
    COMSTAT stat = {};
    DWORD errors = 0;
    if (!ClearCommError(lineOf(handle)->port, &errors, &stat))
        return failure(GetLastError());
    return stat.cbInQue > 0x7FFFFFFF ? 0x7FFFFFFF : (jint)stat.cbInQue;
}

JNIEXPORT void JNICALL Java_ruvek_LineNatives_cancel(JNIEnv *, jclass, jlong handle)
{
    Line &l = *lineOf(handle);
    l.cancelled.store(true);
    CancelIoEx(l.port, NULL);
}

JNIEXPORT jboolean JNICALL Java_ruvek_LineNatives_close(JNIEnv *, jclass, jlong handle)
{
    Line *l = lineOf(handle);
    BOOL ok = CloseHandle(l->port);
    l->port = INVALID_HANDLE_VALUE;
    release(l);
    return ok ? JNI_TRUE : JNI_FALSE;
}
