// Loads ruvekline.dll the way a JVM does and calls its six natives on
// request, so that a Linux-side driver can check them against real (pseudo)
// serial lines. The JNIEnv is a stand-in with the only three functions the
// library calls; a byte array is our own {length, bytes}.
//
// Usage: lines_harness DLL. Reads one command a line from stdin, answers one
// line that starts with the command's name. SLOT is 0 to 3, a line each.
//   open SLOT NAME BAUD    -> open RESULT            (1, or minus the error)
//   rawopen NAME           -> rawopen RESULT         (the name without its NUL)
//   close SLOT             -> close 0|1
//   format SLOT BAUD BITS PARITY STOP FLOW -> format RESULT (0, the field refused, or minus the error)
//   getformat SLOT         -> getformat HEX          (the packed format)
//   escape SLOT FUNCTION   -> escape RESULT          (SETDTR 5 and the rest)
//   break SLOT MS          -> break RESULT
//   recv SLOT N MS         -> recv COUNT LAST HEX    (reads of MS each until N
//                                                     bytes, or one gives <= 0)
//   write SLOT FILE        -> write RESULT MS        (FILE's bytes in one call)
//   timed SLOT MS          -> timed RESULT MS        (one read of MS, timed)
//   bgread SLOT LEN MS     -> bgread 1               (one read on a thread)
//   bgwrite SLOT FILE      -> bgwrite 1              (one write on a thread)
//   running                -> running 0|1            (the thread's call goes on)
//   join MS                -> join ENDED RESULT MS HEX (waits MS for the thread;
//                                                     MS: how long its call took)
//   cancel SLOT            -> cancel ENDED RESULT MS (cancel, then up to 20 s for
//                                                     the thread; MS from cancel)
//   idle SLOT SECONDS      -> idle PERCENT RUNNING   (a read blocked meanwhile:
//                                                     our CPU as % of one core)
//   rangewrite SLOT OFF LEN -> rangewrite RESULT     (a write of that range of a 10-byte array)
//   rangeread SLOT OFF LEN -> rangeread RESULT       (a read into that range of a 10-byte array)
//   avail SLOT             -> avail RESULT
//   cancelnow SLOT         -> cancelnow 1            (cancel, with no call in progress)
//   wake SLOT              -> wake ENDED RESULT MS   (wakeRead, then up to 20 s for
//                                                     the thread; MS from the wake)
//   badcalls HANDLE        -> badcalls READ WRITE AVAILABLE CLOSE (each called with that raw handle)
//   closetwice SLOT        -> closetwice FIRST SECOND
//   faults                 -> faults N               (array accesses out of range)
//   setmask SLOT MASK      -> setmask RESULT         (the event mask, EV_ bits)
//   bgevents SLOT MASK     -> bgevents 1             (one event wait on the thread)
//   eventsjoin MS          -> eventsjoin ENDED HEX MS (the wait's packed answer, as hex)
//   wakeevents SLOT        -> wakeevents ENDED HEX MS (wakeEvents, then up to 20 s for the wait)
//   bggap SLOT LEN GAP FIRST -> bggap 1              (one gap read on the thread; join answers)
//   arch                   -> arch x86|x64
//   watch...               -> the port watch's commands: lines_watch.h
//   quit
#include <windows.h>

#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// --- the stand-in JNIEnv

// What a jbyteArray points to here.
struct Bytes {
    jsize length;
    jbyte *bytes;
};

static volatile LONG faults; // region calls outside the array: a JVM would throw

static Bytes *bytesOf(jarray a) { return reinterpret_cast<Bytes *>(a); }

static bool inRange(Bytes *b, jsize start, jsize len)
{
    if (start < 0 || len < 0 || start > b->length || len > b->length - start) {
        InterlockedIncrement(&faults);
        return false;
    }
    return true;
}

static jsize JNICALL getArrayLength(JNIEnv *, jarray a) { return bytesOf(a)->length; }

static void JNICALL getByteArrayRegion(JNIEnv *, jbyteArray a, jsize start, jsize len, jbyte *buf)
{
    Bytes *b = bytesOf(a);
    if (inRange(b, start, len))
        memcpy(buf, b->bytes + start, (size_t)len);
}

static void JNICALL setByteArrayRegion(JNIEnv *, jbyteArray a, jsize start, jsize len, const jbyte *buf)
{
    Bytes *b = bytesOf(a);
    if (inRange(b, start, len))
        memcpy(b->bytes + start, buf, (size_t)len);
}

// A JVM's exception pending after a region outside its array: here, any fault at all.
static jboolean JNICALL exceptionCheck(JNIEnv *) { return faults ? JNI_TRUE : JNI_FALSE; }

static JNINativeInterface_ table;
static JNIEnv env;

static jbyteArray arrayOf(Bytes *b) { return reinterpret_cast<jbyteArray>(b); }

// --- the natives, bound by their plain names (on x86 too: the DLL is linked --kill-at)

typedef jlong(JNICALL *OpenFn)(JNIEnv *, jclass, jbyteArray, jint, jint, jint, jint, jint, jint);
typedef jint(JNICALL *ReadFn)(JNIEnv *, jclass, jlong, jbyteArray, jint, jint, jint);
typedef jint(JNICALL *WriteFn)(JNIEnv *, jclass, jlong, jbyteArray, jint, jint);
typedef jint(JNICALL *AvailableFn)(JNIEnv *, jclass, jlong);
typedef void(JNICALL *CancelFn)(JNIEnv *, jclass, jlong);
typedef jboolean(JNICALL *CloseFn)(JNIEnv *, jclass, jlong);
typedef jint(JNICALL *SetFormatFn)(JNIEnv *, jclass, jlong, jint, jint, jint, jint, jint, jint);
typedef jlong(JNICALL *GetFormatFn)(JNIEnv *, jclass, jlong);
typedef jint(JNICALL *LineFn)(JNIEnv *, jclass, jlong, jint);
typedef jlong(JNICALL *WaitEventsFn)(JNIEnv *, jclass, jlong, jint);
typedef void(JNICALL *WakeFn)(JNIEnv *, jclass, jlong);
typedef jint(JNICALL *ReadGapFn)(JNIEnv *, jclass, jlong, jbyteArray, jint, jint, jint, jint);

static OpenFn nOpen;
static ReadFn nRead;
static WriteFn nWrite;
static AvailableFn nAvailable;
static CancelFn nCancel, nWake;
static CloseFn nClose;
static SetFormatFn nSetFormat;
static GetFormatFn nGetFormat;
static LineFn nEscape, nBreak, nSetMask;
static WaitEventsFn nWaitEvents;
static WakeFn nWakeEvents;
static ReadGapFn nReadGap;

// The detour through void(*)(void) tells GCC the cast is intended.
template <class F> static bool bind(HMODULE dll, const char *name, F *to)
{
    FARPROC p = GetProcAddress(dll, name);
    *to = reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(p));
    if (!p)
        fprintf(stderr, "the DLL lacks %s\n", name);
    return p != NULL;
}

// --- the lines and the one background call

static jlong lines[4];

static jlong lineAt(int slot) { return slot >= 0 && slot < 4 ? lines[slot] : 0; }

static double msSince(LARGE_INTEGER from)
{
    LARGE_INTEGER freq, to;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&to);
    return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)freq.QuadPart;
}

#include "lines_watch.h"

struct Job {
    HANDLE thread;
    bool reading;
    int events;      // an event wait's mask; 0 for a transfer
    jint gapMs;      // a gap read's gap; 0 for a plain read
    jlong answer;    // the event wait's
    jlong line;
    Bytes data;
    jint timeoutMs;
    volatile LONG result;
    LARGE_INTEGER began;
    double tookMs;
};
static Job job;

static DWORD WINAPI runJob(void *)
{
    QueryPerformanceCounter(&job.began);
    if (job.events)
        job.answer = nWaitEvents(&env, NULL, job.line, job.events);
    else if (job.gapMs)
        job.result = nReadGap(&env, NULL, job.line, arrayOf(&job.data), 0, job.data.length, job.gapMs, job.timeoutMs);
    else
        job.result = job.reading ? nRead(&env, NULL, job.line, arrayOf(&job.data), 0, job.data.length, job.timeoutMs)
                                 : nWrite(&env, NULL, job.line, arrayOf(&job.data), 0, job.data.length);
    job.tookMs = msSince(job.began);
    return 0;
}

// Waits for the background call to end; false if it is still going after ms.
static bool joinJob(DWORD ms)
{
    if (!job.thread)
        return true;
    if (WaitForSingleObject(job.thread, ms) != WAIT_OBJECT_0)
        return false;
    CloseHandle(job.thread);
    job.thread = NULL;
    return true;
}

// Starts a call on the thread over data, which the job then owns.
static bool startJob(bool reading, int slot, Bytes data, jint timeoutMs, int events = 0, jint gapMs = 0)
{
    if (!data.bytes || !joinJob(0)) {
        free(data.bytes);
        return false;
    }
    free(job.data.bytes);
    job.reading = reading;
    job.line = lineAt(slot);
    job.data = data;
    job.timeoutMs = timeoutMs;
    job.events = events;
    job.gapMs = gapMs;
    job.answer = 0;
    job.result = 0;
    job.tookMs = 0;
    job.thread = CreateThread(NULL, 0, runJob, NULL, 0, NULL);
    return job.thread != NULL;
}

// A file's bytes in a fresh array, or false.
static bool loadFile(const char *path, Bytes *b)
{
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(f, NULL), got = 0;
    b->bytes = (jbyte *)malloc(size + 1);
    bool ok = b->bytes && ReadFile(f, b->bytes, size, &got, NULL) && got == size;
    b->length = (jsize)size;
    CloseHandle(f);
    if (!ok) {
        free(b->bytes);
        b->bytes = NULL;
    }
    return ok;
}

static void printHex(const jbyte *p, jint n)
{
    for (jint i = 0; i < n; i++)
        printf("%02x", (unsigned char)p[i]);
}

static ULONGLONG cpu100ns()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
           ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: lines_harness DLL\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        fprintf(stderr, "LoadLibraryA(%s) failed: %lu\n", argv[1], GetLastError());
        return 2;
    }
    if (!bind(dll, "Java_ruvek_LineNatives_open", &nOpen) | !bind(dll, "Java_ruvek_LineNatives_read", &nRead) |
        !bind(dll, "Java_ruvek_LineNatives_write", &nWrite) |
        !bind(dll, "Java_ruvek_LineNatives_available", &nAvailable) |
        !bind(dll, "Java_ruvek_LineNatives_cancel", &nCancel) | !bind(dll, "Java_ruvek_LineNatives_close", &nClose) |
        !bind(dll, "Java_ruvek_LineNatives_wakeRead", &nWake) |
        !bind(dll, "Java_ruvek_LineNatives_setFormat", &nSetFormat) |
        !bind(dll, "Java_ruvek_LineNatives_getFormat", &nGetFormat) |
        !bind(dll, "Java_ruvek_LineNatives_escape", &nEscape) | !bind(dll, "Java_ruvek_LineNatives_sendBreak", &nBreak) |
        !bind(dll, "Java_ruvek_LineNatives_setEventMask", &nSetMask) |
        !bind(dll, "Java_ruvek_LineNatives_waitEvents", &nWaitEvents) |
        !bind(dll, "Java_ruvek_LineNatives_wakeEvents", &nWakeEvents) |
        !bind(dll, "Java_ruvek_LineNatives_readGap", &nReadGap) | !bindWatch(dll))
        return 2;
    table.GetArrayLength = getArrayLength;
    table.GetByteArrayRegion = getByteArrayRegion;
    table.SetByteArrayRegion = setByteArrayRegion;
    table.ExceptionCheck = exceptionCheck;
    env.functions = &table;

    char line[1024];
    while (fgets(line, sizeof line, stdin)) {
        char cmd[32] = "", word[MAX_PATH] = "";
        int slot = -1, a = 0;
        sscanf(line, "%31s", cmd);
        if (!strcmp(cmd, "open") || !strcmp(cmd, "rawopen")) {
            bool raw = !strcmp(cmd, "rawopen");
            if (raw)
                sscanf(line, "%*s %259s", word);
            else
                sscanf(line, "%*s %i %259s %i", &slot, word, &a);
            Bytes name = {(jsize)(strlen(word) + (raw ? 0 : 1)), (jbyte *)word};
            jlong h = nOpen(&env, NULL, arrayOf(&name), raw ? 9600 : a, 8, 0, 0, 0, 0); // 8N1, no flow control
            if (h > 0 && !raw && lineAt(slot) == 0)
                lines[slot] = h;
            else if (h > 0)
                nClose(&env, NULL, h); // nowhere to keep it
            printf("%s %lld\n", cmd, h > 0 ? 1LL : (long long)h);
        } else if (!strcmp(cmd, "format")) {
            int bits = 0, parity = 0, stop = 0, flow = 0;
            sscanf(line, "%*s %i %i %i %i %i %i", &slot, &a, &bits, &parity, &stop, &flow);
            jlong h = lineAt(slot);
            printf("format %d\n", h ? (int)nSetFormat(&env, NULL, h, a, bits, parity, stop, flow, 0) : 0);
        } else if (!strcmp(cmd, "getformat")) {
            sscanf(line, "%*s %i", &slot);
            jlong h = lineAt(slot);
            printf("getformat %llx\n", h ? (unsigned long long)nGetFormat(&env, NULL, h) : 0ULL);
        } else if (!strcmp(cmd, "escape") || !strcmp(cmd, "break")) {
            sscanf(line, "%*s %i %i", &slot, &a);
            jlong h = lineAt(slot);
            LineFn f = !strcmp(cmd, "escape") ? nEscape : nBreak;
            printf("%s %d\n", cmd, h ? (int)f(&env, NULL, h, a) : 0);
        } else if (!strcmp(cmd, "close")) {
            sscanf(line, "%*s %i", &slot);
            jlong h = lineAt(slot);
            printf("close %d\n", h ? nClose(&env, NULL, h) : 0);
            if (h)
                lines[slot] = 0;
        } else if (!strcmp(cmd, "recv")) {
            int n = 0, ms = 0;
            sscanf(line, "%*s %i %i %i", &slot, &n, &ms);
            static jbyte got[65536];
            Bytes into = {n > 0 && n <= (int)sizeof got ? n : 0, got};
            jint count = 0, last = 0;
            while (count < into.length) {
                last = nRead(&env, NULL, lineAt(slot), arrayOf(&into), count, into.length - count, ms);
                if (last <= 0)
                    break;
                count += last;
            }
            printf("recv %ld %ld ", (long)count, (long)last);
            printHex(got, count);
            printf("\n");
        } else if (!strcmp(cmd, "write")) {
            sscanf(line, "%*s %i %259s", &slot, word);
            Bytes data = {};
            if (!loadFile(word, &data)) {
                printf("write nofile\n");
            } else {
                LARGE_INTEGER t0;
                QueryPerformanceCounter(&t0);
                jint r = nWrite(&env, NULL, lineAt(slot), arrayOf(&data), 0, data.length);
                printf("write %ld %.0f\n", (long)r, msSince(t0));
            }
            free(data.bytes);
        } else if (!strcmp(cmd, "timed")) {
            sscanf(line, "%*s %i %i", &slot, &a);
            jbyte buf[64];
            Bytes into = {sizeof buf, buf};
            LARGE_INTEGER t0;
            QueryPerformanceCounter(&t0);
            jint r = nRead(&env, NULL, lineAt(slot), arrayOf(&into), 0, into.length, a);
            printf("timed %ld %.0f\n", (long)r, msSince(t0));
        } else if (!strcmp(cmd, "bgread")) {
            int len = 0;
            sscanf(line, "%*s %i %i %i", &slot, &len, &a);
            Bytes into = {len, (jbyte *)calloc(len > 0 ? (size_t)len : 1, 1)};
            printf("bgread %d\n", len > 0 && startJob(true, slot, into, a) ? 1 : 0);
        } else if (!strcmp(cmd, "bgwrite")) {
            sscanf(line, "%*s %i %259s", &slot, word);
            Bytes data = {};
            bool ok = loadFile(word, &data) && startJob(false, slot, data, 0);
            printf("bgwrite %d\n", ok ? 1 : 0);
        } else if (!strcmp(cmd, "running")) {
            printf("running %d\n", joinJob(0) ? 0 : 1);
        } else if (!strcmp(cmd, "join")) {
            sscanf(line, "%*s %i", &a);
            bool ended = joinJob((DWORD)a);
            printf("join %d %ld %.0f ", ended ? 1 : 0, ended ? job.result : 0L, ended ? job.tookMs : 0.0);
            if (ended && job.reading && job.result > 0)
                printHex(job.data.bytes, job.result);
            printf("\n");
        } else if (!strcmp(cmd, "cancel") || !strcmp(cmd, "wake")) {
            sscanf(line, "%*s %i", &slot);
            LARGE_INTEGER t0;
            QueryPerformanceCounter(&t0);
            (!strcmp(cmd, "wake") ? nWake : nCancel)(&env, NULL, lineAt(slot));
            bool ended = joinJob(20000);
            printf("%s %d %ld %.1f\n", cmd, ended ? 1 : 0, ended ? job.result : 0L, msSince(t0));
        } else if (!strcmp(cmd, "idle")) {
            sscanf(line, "%*s %i %i", &slot, &a);
            Bytes into = {16, (jbyte *)calloc(16, 1)};
            bool started = startJob(true, slot, into, 0);
            Sleep(200); // the read is under way
            ULONGLONG before = cpu100ns();
            LARGE_INTEGER t0;
            QueryPerformanceCounter(&t0);
            Sleep((DWORD)a * 1000);
            double wall = msSince(t0);
            ULONGLONG used = cpu100ns() - before;
            printf("idle %.3f %d\n", (double)used / 1e4 / wall * 100.0, started && !joinJob(0) ? 1 : 0);
        } else if (!strcmp(cmd, "rangewrite") || !strcmp(cmd, "rangeread")) {
            int off = 0, len = 0;
            sscanf(line, "%*s %i %i %i", &slot, &off, &len);
            jbyte ten[10];
            memset(ten, 'x', sizeof ten);
            Bytes array = {sizeof ten, ten};
            jint r = !strcmp(cmd, "rangewrite") ? nWrite(&env, NULL, lineAt(slot), arrayOf(&array), off, len)
                                                : nRead(&env, NULL, lineAt(slot), arrayOf(&array), off, len, 0);
            printf("%s %ld\n", cmd, (long)r);
        } else if (!strcmp(cmd, "avail")) {
            sscanf(line, "%*s %i", &slot);
            printf("avail %ld\n", (long)nAvailable(&env, NULL, lineAt(slot)));
        } else if (!strcmp(cmd, "cancelnow")) {
            sscanf(line, "%*s %i", &slot);
            nCancel(&env, NULL, lineAt(slot));
            printf("cancelnow 1\n");
        } else if (!strcmp(cmd, "badcalls")) {
            long long h = 0;
            sscanf(line, "%*s %lli", &h);
            jbyte four[4] = {'b', 'a', 'd', '!'};
            Bytes array = {sizeof four, four};
            jint r = nRead(&env, NULL, (jlong)h, arrayOf(&array), 0, 4, 0);
            jint w = nWrite(&env, NULL, (jlong)h, arrayOf(&array), 0, 4);
            jint n = nAvailable(&env, NULL, (jlong)h);
            nCancel(&env, NULL, (jlong)h);
            printf("badcalls %ld %ld %ld %d\n", (long)r, (long)w, (long)n, (int)nClose(&env, NULL, (jlong)h));
        } else if (!strcmp(cmd, "closetwice")) {
            sscanf(line, "%*s %i", &slot);
            jlong h = lineAt(slot);
            int first = h ? nClose(&env, NULL, h) : -1;
            int second = h ? nClose(&env, NULL, h) : -1;
            if (h)
                lines[slot] = 0;
            printf("closetwice %d %d\n", first, second);
        } else if (!strcmp(cmd, "faults")) {
            printf("faults %ld\n", faults);
        } else if (!strcmp(cmd, "setmask")) {
            sscanf(line, "%*s %i %i", &slot, &a);
            printf("setmask %ld\n", (long)nSetMask(&env, NULL, lineAt(slot), a));
        } else if (!strcmp(cmd, "bgevents")) {
            sscanf(line, "%*s %i %i", &slot, &a);
            Bytes none = {1, (jbyte *)calloc(1, 1)};
            printf("bgevents %d\n", a && startJob(true, slot, none, 0, a) ? 1 : 0);
        } else if (!strcmp(cmd, "eventsjoin") || !strcmp(cmd, "wakeevents")) {
            bool wake = !strcmp(cmd, "wakeevents");
            LARGE_INTEGER t0;
            QueryPerformanceCounter(&t0);
            if (wake) {
                sscanf(line, "%*s %i", &slot);
                nWakeEvents(&env, NULL, lineAt(slot));
            } else {
                sscanf(line, "%*s %i", &a);
            }
            bool ended = joinJob(wake ? 20000 : (DWORD)a);
            printf("%s %d %llx %.1f\n", cmd, ended ? 1 : 0, ended ? (unsigned long long)job.answer : 0ULL,
                   wake ? msSince(t0) : job.tookMs);
        } else if (!strcmp(cmd, "bggap")) {
            int len = 0, gap = 0;
            sscanf(line, "%*s %i %i %i %i", &slot, &len, &gap, &a);
            Bytes into = {len, (jbyte *)calloc(len > 0 ? (size_t)len : 1, 1)};
            printf("bggap %d\n", len > 0 && gap > 0 && startJob(true, slot, into, a, 0, gap) ? 1 : 0);
        } else if (!strcmp(cmd, "arch")) {
            printf("arch %s\n", sizeof(void *) == 8 ? "x64" : "x86");
        } else if (watchCommand(cmd, line)) {
        } else if (!strcmp(cmd, "quit")) {
            break;
        } else {
            printf("error unknown command %s\n", cmd);
        }
        fflush(stdout);
    }
    return 0;
}
