// The named API's port-watch natives: a wait that ends when the system's
// list of serial ports may have changed, which the registry key
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM tells through RegNotifyChangeKeyValue,
// or when a wake ends it. Written against Win32 like the line natives; the
// termios layer watches uevents and the link folders behind the same key.
#include "lines.h"
#include "handles.h"
#include "watch.h"

#include <new>
#include <stdlib.h>

using namespace ruvek_lines;

namespace {

struct Watch {
    HKEY key = nullptr;
    BOOL subtree = FALSE;       // the key is DEVICEMAP, for SERIALCOMM to appear under it
    HANDLE wake = 0, changed = 0;
    bool armed = false;         // a change notice is asked for (the waiter's alone)
    DWORD agnostic = REG_NOTIFY_THREAD_AGNOSTIC; // 0 where the system lacks it
};

// The watches open, named as lines are.
Handles<Watch, 256> watches;

// What closing w frees: 0, or the first error.
DWORD release(Watch *w)
{
    DWORD error = 0;
    if (w->key) {
        LONG e = RegCloseKey(w->key);
        if (e != ERROR_SUCCESS)
            error = (DWORD)e;
    }
    HANDLE events[2] = {w->wake, w->changed};
    for (HANDLE e : events)
        if (e && !CloseHandle(e) && !error)
            error = GetLastError();
    w->~Watch();
    free(w);
    return error;
}

constexpr DWORD FILTER = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

// Asks for the next change notice. Without the thread-agnostic flag (before
// Windows 8) a notice ends with the thread that asked for it, which signals
// the event: a spurious change, which a new list answers.
LONG arm(Watch &w)
{
    LONG e = RegNotifyChangeKeyValue(w.key, w.subtree, FILTER | w.agnostic, w.changed, TRUE);
    if (e == (LONG)ERROR_INVALID_PARAMETER && w.agnostic) {
        w.agnostic = 0;
        e = RegNotifyChangeKeyValue(w.key, w.subtree, FILTER, w.changed, TRUE);
    }
    w.armed = e == ERROR_SUCCESS;
    return e;
}

jlong open(Watch &w)
{
    LONG e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                           &w.key);
    if (e == (LONG)ERROR_FILE_NOT_FOUND) {
        // Windows makes SERIALCOMM with its first port, under DEVICEMAP; the
        // tree below it changes seldom otherwise.
        w.subtree = TRUE;
        e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_NOTIFY | KEY_QUERY_VALUE, &w.key);
    }
    if (e != ERROR_SUCCESS) {
        w.key = nullptr;
        return failure((DWORD)e);
    }
    // Auto-reset: a wait that answers takes the signal with it.
    if (!(w.wake = CreateEventA(NULL, FALSE, FALSE, NULL)) || !(w.changed = CreateEventA(NULL, FALSE, FALSE, NULL)))
        return failure(GetLastError());
    // Armed at once, so that what changes before the first wait is seen.
    e = arm(w);
    return e == ERROR_SUCCESS ? 0 : failure((DWORD)e);
}

} // namespace

JNIEXPORT jlong JNICALL Java_ruvek_LineNatives_watchOpen(JNIEnv *, jclass)
{
    void *room = malloc(sizeof(Watch));
    if (!room)
        return failure(ERROR_NOT_ENOUGH_MEMORY);
    Watch *w = new (room) Watch;
    jlong error = open(*w);
    jlong h = error ? 0 : watches.enter(w);
    if (!h) {
        release(w);
        return error ? error : failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_watchWait(JNIEnv *, jclass, jlong handle)
{
    Watch *w = watches.find(handle);
    if (!w)
        return failure(ERROR_INVALID_HANDLE);
    if (!w->armed) {
        LONG e = arm(*w);
        if (e != ERROR_SUCCESS)
            return failure((DWORD)e);
    }
    // The wake first: when both are signalled, the wake is the one answered.
    HANDLE both[2] = {w->wake, w->changed};
    DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0)
        return 0;
    if (r == WAIT_OBJECT_0 + 1) {
        w->armed = false;
        return 1;
    }
    return failure(r == WAIT_FAILED ? GetLastError() : ERROR_GEN_FAILURE);
}

JNIEXPORT void JNICALL Java_ruvek_LineNatives_watchWake(JNIEnv *, jclass, jlong handle)
{
    Watch *w = watches.find(handle);
    if (w)
        SetEvent(w->wake);
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_watchClose(JNIEnv *, jclass, jlong handle)
{
    Watch *w = watches.leave(handle);
    if (!w)
        return failure(ERROR_INVALID_HANDLE);
    DWORD error = release(w);
    return error ? failure(error) : 0;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_watchHow(JNIEnv *, jclass, jlong handle)
{
    Watch *w = watches.find(handle);
    if (!w)
        return failure(ERROR_INVALID_HANDLE);
    DWORD how = 0, type = 0, size = sizeof how;
    if (RegQueryValueExA(w->key, RUVEK_WATCH_VALUE, NULL, &type, (BYTE *)&how, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof how)
        return (jint)(how & 0x7FFFFFFF);
    return w->subtree ? WATCH_DEVICEMAP : WATCH_REGISTRY; // Windows: the registry's own key
}
