// The port-watch natives for lines_harness.cpp: one watch at a time, whose
// wait runs on a thread of its own so that the driver can change the
// registry meanwhile.
//   watchopen              -> watchopen RESULT HOW  (1 or minus the error; watchHow's bits)
//   watchbg                -> watchbg 1             (a wait begins on the thread)
//   watchjoin MS           -> watchjoin ENDED RESULT MS (waits MS for it: ENDED 0 while it
//                                                    still waits; MS from its start)
//   watchwake              -> watchwake ENDED RESULT (a wake, then up to 20 s for the thread)
//   watchclose             -> watchclose RESULT
//   watchbad HANDLE        -> watchbad WAIT HOW CLOSE (each called with that raw handle)
#ifndef RUVEK_WINE_LINES_WATCH_H
#define RUVEK_WINE_LINES_WATCH_H

typedef jlong(JNICALL *WatchOpenFn)(JNIEnv *, jclass);
typedef jint(JNICALL *WatchFn)(JNIEnv *, jclass, jlong);
typedef void(JNICALL *WatchWakeFn)(JNIEnv *, jclass, jlong);

static WatchOpenFn nWatchOpen;
static WatchFn nWatchWait, nWatchClose, nWatchHow;
static WatchWakeFn nWatchWake;

static bool bindWatch(HMODULE dll)
{
    return bind(dll, "Java_ruvek_LineNatives_watchOpen", &nWatchOpen) &
           bind(dll, "Java_ruvek_LineNatives_watchWait", &nWatchWait) &
           bind(dll, "Java_ruvek_LineNatives_watchWake", &nWatchWake) &
           bind(dll, "Java_ruvek_LineNatives_watchClose", &nWatchClose) &
           bind(dll, "Java_ruvek_LineNatives_watchHow", &nWatchHow);
}

static jlong watchHandle;
static HANDLE watchThread;
static volatile LONG watchResult;
static LARGE_INTEGER watchBegan;
static double watchTookMs;

static DWORD WINAPI runWatch(void *)
{
    QueryPerformanceCounter(&watchBegan);
    watchResult = nWatchWait(&env, NULL, watchHandle);
    watchTookMs = msSince(watchBegan);
    return 0;
}

static bool joinWatch(DWORD ms)
{
    if (!watchThread)
        return true;
    if (WaitForSingleObject(watchThread, ms) != WAIT_OBJECT_0)
        return false;
    CloseHandle(watchThread);
    watchThread = NULL;
    return true;
}

// Answers a watch command; false for a command that is none.
static bool watchCommand(const char *cmd, const char *line)
{
    int ms = 0;
    if (!strcmp(cmd, "watchopen")) {
        jlong h = watchHandle ? 0 : nWatchOpen(&env, NULL);
        if (h > 0)
            watchHandle = h;
        printf("watchopen %lld %d\n", h > 0 ? 1LL : (long long)h, h > 0 ? (int)nWatchHow(&env, NULL, h) : 0);
    } else if (!strcmp(cmd, "watchbg")) {
        bool ok = watchHandle && joinWatch(0);
        if (ok) {
            watchResult = 0;
            watchTookMs = 0;
            watchThread = CreateThread(NULL, 0, runWatch, NULL, 0, NULL);
        }
        printf("watchbg %d\n", ok && watchThread ? 1 : 0);
    } else if (!strcmp(cmd, "watchjoin")) {
        sscanf(line, "%*s %i", &ms);
        bool ended = joinWatch((DWORD)ms);
        printf("watchjoin %d %ld %.0f\n", ended ? 1 : 0, ended ? watchResult : 0L, ended ? watchTookMs : 0.0);
    } else if (!strcmp(cmd, "watchwake")) {
        nWatchWake(&env, NULL, watchHandle);
        bool ended = joinWatch(20000);
        printf("watchwake %d %ld\n", ended ? 1 : 0, ended ? watchResult : 0L);
    } else if (!strcmp(cmd, "watchclose")) {
        // Never beside a wait: one still going is left, and the close refused.
        jint r = joinWatch(0) && watchHandle ? nWatchClose(&env, NULL, watchHandle) : 0;
        if (r == 0)
            watchHandle = 0;
        printf("watchclose %ld\n", (long)r);
    } else if (!strcmp(cmd, "watchbad")) {
        long long h = 0;
        sscanf(line, "%*s %lli", &h);
        nWatchWake(&env, NULL, (jlong)h);
        printf("watchbad %ld %ld %ld\n", (long)nWatchWait(&env, NULL, (jlong)h), (long)nWatchHow(&env, NULL, (jlong)h),
               (long)nWatchClose(&env, NULL, (jlong)h));
    } else {
        return false;
    }
    return true;
}

#endif
