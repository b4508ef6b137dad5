#include "fake_win32.h"

#include <chrono>
#include <cstring>
#include <cstdint>
#include <thread>

FakeWin32 fake;

void FakeWin32::release()
{
    std::lock_guard<std::mutex> hold(lock);
    blockWrites = false;
    changed.notify_all();
}

void FakeWin32::arrive(const std::string &bytes)
{
    std::lock_guard<std::mutex> hold(lock);
    rx.insert(rx.end(), bytes.begin(), bytes.end());
    changed.notify_all();
}

void FakeWin32::unplug(DWORD error)
{
    std::lock_guard<std::mutex> hold(lock);
    gone = error;
    changed.notify_all();
}

void FakeWin32::raise(DWORD events)
{
    std::lock_guard<std::mutex> hold(lock);
    raised |= events;
    changed.notify_all();
}

bool FakeWin32::waitEventsWaiting(int n)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(20), [&] { return eventsWaiting == n; });
}

void FakeWin32::changeKey()
{
    std::lock_guard<std::mutex> hold(lock);
    for (auto &k : keys)
        if (k.second.notify) {
            signalled.insert(k.second.notify);
            k.second.notify = 0;
        }
    changed.notify_all();
}

bool FakeWin32::waitMultipleWaiting(int n)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(20), [&] { return multipleWaiting == n; });
}

bool FakeWin32::waitBlocked(int n)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(20), [&] { return blocked == n; });
}

namespace {

using Hold = std::unique_lock<std::mutex>;

uintptr_t nextHandle = 0x100;
thread_local DWORD lastError = 0;

BOOL fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

// An overlapped port takes a record and no count; any other port the reverse.
bool rightRecord(HANDLE h, const DWORD *count, void *record)
{
    bool overlapped = fake.overlapped.count(h) != 0;
    return overlapped ? record && !count : count && !record;
}

// Records a call on h; false, and a misuse, when h is not open.
bool use(const char *what, HANDLE h)
{
    fake.calls.push_back(what);
    if (fake.handles.count(h))
        return true;
    ++fake.misuse;
    return false;
}

// Whether a call on port h meets a device that has gone; its error set when so.
bool vanished(HANDLE h)
{
    if (!fake.gone || fake.handles[h] == "event")
        return false;
    lastError = fake.gone;
    return true;
}

// The line-control calls: each records itself, with its argument.
BOOL control(HANDLE h, const std::string &call)
{
    Hold hold(fake.lock);
    if (!use(call.c_str(), h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    return fake.noModemLines ? fail(ERROR_NOT_SUPPORTED) : TRUE;
}

} // namespace

extern "C" {

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode, void *security,
                   DWORD creation, DWORD flags, HANDLE templateFile)
{
    Hold hold(fake.lock);
    fake.calls.push_back(std::string("CreateFileA ") + name);
    fake.opens.push_back({name, access, shareMode, creation, flags, security != nullptr,
                          templateFile != nullptr});
    if (!fake.devices.count(name)) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    for (const auto &open : fake.handles)
        if (open.second == name) {
            lastError = ERROR_ACCESS_DENIED; // share mode 0: one opener at a time
            return INVALID_HANDLE_VALUE;
        }
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle++);
    fake.handles[h] = name;
    if (flags & FILE_FLAG_OVERLAPPED)
        fake.overlapped.insert(h);
    return h;
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue)
{
    Hold hold(fake.lock);
    if (!use("SetupComm", h) || vanished(h))
        return FALSE;
    fake.inQueue = inQueue;
    fake.outQueue = outQueue;
    return !fake.failSetupComm;
}

BOOL GetCommState(HANDLE h, DCB *dcb)
{
    Hold hold(fake.lock);
    if (!use("GetCommState", h) || vanished(h))
        return FALSE;
    fake.lengthSeen = dcb->DCBlength;
    if (fake.failGetCommState)
        return FALSE;
    *dcb = fake.reported;
    dcb->DCBlength = fake.lengthSeen;
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB *dcb)
{
    Hold hold(fake.lock);
    if (!use("SetCommState", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    fake.applied.push_back(*dcb);
    if (fake.failSetCommState || (fake.refuseState && fake.refuseState(*dcb)))
        return fail(ERROR_INVALID_PARAMETER);
    if (fake.rememberState) {
        fake.reported = *dcb;
        if (fake.alterState)
            fake.alterState(fake.reported);
    }
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts)
{
    Hold hold(fake.lock);
    if (!use("SetCommTimeouts", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    fake.timeouts.push_back(*timeouts);
    fake.readWaitMs = timeouts->ReadTotalTimeoutConstant;
    return fake.failSetCommTimeouts ? fail(ERROR_GEN_FAILURE) : TRUE;
}

BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    Hold hold(fake.lock);
    if (read)
        *read = 0;
    if (!use("ReadFile", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    if (!rightRecord(h, read, overlapped) || (!overlapped && toRead != 1)) {
        ++fake.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (overlapped) {
        // Nothing waiting: pending, with the cancels seen so far noted for
        // GetOverlappedResult; else what has arrived, at once.
        OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped);
        ov->InternalHigh = 0;
        if (fake.rx.empty()) {
            ov->Internal = 0x103; // pending
            fake.pending[ov] = {static_cast<unsigned char *>(buffer), toRead, fake.cancels, false};
            return fail(ERROR_IO_PENDING);
        }
        DWORD n = 0;
        for (; n < toRead && !fake.rx.empty(); n++) {
            static_cast<unsigned char *>(buffer)[n] = fake.rx.front();
            fake.rx.pop_front();
        }
        ov->Internal = 0;
        ov->InternalHigh = n;
        return TRUE;
    }
    if (!fake.rx.empty()) {
        *static_cast<unsigned char *>(buffer) = fake.rx.front();
        fake.rx.pop_front();
        *read = 1;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
{
    Hold hold(fake.lock);
    if (written)
        *written = 0;
    if (!use("WriteFile", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    if (!rightRecord(h, written, overlapped) || (!overlapped && toWrite != 1)) {
        ++fake.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (fake.failWrite)
        return fail(ERROR_GEN_FAILURE);
    if (overlapped) {
        OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped);
        const unsigned char *in = static_cast<const unsigned char *>(buffer);
        fake.tx.insert(fake.tx.end(), in, in + toWrite);
        fake.writeSizes.push_back(toWrite);
        ov->Internal = 0;
        ov->InternalHigh = toWrite;
        return TRUE;
    }
    if (fake.blockWrites) {
        unsigned cancels = fake.cancels;
        ++fake.blocked;
        fake.changed.notify_all();
        fake.changed.wait(hold, [&] { return !fake.blockWrites || (cancels != fake.cancels && !fake.uncancellable); });
        --fake.blocked;
        fake.changed.notify_all();
        if (fake.blockWrites) {
            fake.calls.push_back("WriteFile cancelled");
            return FALSE;
        }
    }
    if (fake.writeTakes)
        fake.tx.push_back(*static_cast<const unsigned char *>(buffer));
    *written = fake.writeTakes;
    return TRUE;
}

BOOL CloseHandle(HANDLE h)
{
    Hold hold(fake.lock);
    if (!use("CloseHandle", h))
        return fail(ERROR_INVALID_HANDLE);
    fake.handles.erase(h);
    fake.overlapped.erase(h);
    fake.signalled.erase(h);
    fake.manualReset.erase(h);
    return TRUE;
}

BOOL CancelIoEx(HANDLE h, void *overlapped)
{
    Hold hold(fake.lock);
    if (!use("CancelIoEx", h))
        return fail(ERROR_INVALID_HANDLE);
    // A record's cancel ends that transfer alone, and only while it is pending, as on Windows.
    if (overlapped) {
        auto w = fake.eventWaits.find(static_cast<OVERLAPPED *>(overlapped));
        if (w != fake.eventWaits.end()) {
            w->second.ended = true;
            fake.changed.notify_all();
            return TRUE;
        }
        auto p = fake.pending.find(static_cast<OVERLAPPED *>(overlapped));
        if (p == fake.pending.end())
            return fail(1168); // ERROR_NOT_FOUND
        p->second.ended = true;
        fake.changed.notify_all();
        return TRUE;
    }
    ++fake.cancels;
    fake.changed.notify_all();
    return TRUE;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

DWORD GetLastError(void) { return lastError; }

BOOL EscapeCommFunction(HANDLE h, DWORD function)
{
    return control(h, "EscapeCommFunction " + std::to_string(function));
}

BOOL GetCommModemStatus(HANDLE h, DWORD *status)
{
    if (!control(h, "GetCommModemStatus"))
        return FALSE;
    *status = fake.modemStatus;
    return TRUE;
}

BOOL SetCommBreak(HANDLE h) { return control(h, "SetCommBreak"); }
BOOL ClearCommBreak(HANDLE h) { return control(h, "ClearCommBreak"); }
BOOL PurgeComm(HANDLE h, DWORD flags) { return control(h, "PurgeComm " + std::to_string(flags)); }
BOOL FlushFileBuffers(HANDLE h) { return control(h, "FlushFileBuffers"); }

HANDLE CreateEventA(void *security, BOOL manualReset, BOOL initialState, const char *name)
{
    Hold hold(fake.lock);
    fake.calls.push_back("CreateEventA");
    if (security || name || fake.failCreateEvent) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle++);
    fake.handles[h] = "event";
    if (manualReset)
        fake.manualReset.insert(h);
    if (initialState)
        fake.signalled.insert(h);
    return h;
}

// A pending read ends when bytes arrive, when a cancel comes after it was
// issued, or when its total time-out passes.
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED *ov, DWORD *transferred, BOOL wait)
{
    Hold hold(fake.lock);
    *transferred = 0;
    if (!use("GetOverlappedResult", h))
        return fail(ERROR_INVALID_HANDLE);
    auto event = fake.eventWaits.find(ov);
    if (ov->Internal == 0x103 && event != fake.eventWaits.end()) {
        // An event wait ends when one of its events comes, when its mask
        // changes (with nothing), on a cancel, or with a device gone.
        if (!wait)
            return fail(ERROR_IO_INCOMPLETE);
        FakeState::EventWait &w = event->second;
        ++fake.eventsWaiting;
        fake.changed.notify_all();
        fake.changed.wait(hold, [&] {
            return (fake.raised & w.mask) || fake.commMask != w.mask || fake.cancels != w.cancels || w.ended ||
                   fake.gone;
        });
        --fake.eventsWaiting;
        FakeState::EventWait was = w;
        fake.eventWaits.erase(event);
        ov->Internal = 0;
        if (fake.cancels != was.cancels || was.ended) {
            ov->Internal = ERROR_OPERATION_ABORTED;
        } else if (fake.gone) {
            ov->Internal = fake.gone;
        } else if (fake.commMask == was.mask) {
            *was.happened = fake.raised & was.mask;
            fake.raised &= ~was.mask;
        } else {
            *was.happened = 0;
        }
        return ov->Internal == 0 ? TRUE : fail((DWORD)ov->Internal);
    }
    if (ov->Internal == 0x103) {
        if (!wait)
            return fail(ERROR_IO_INCOMPLETE);
        FakeState::Pending &p = fake.pending[ov];
        ++fake.readsWaiting;
        fake.changed.notify_all();
        auto done = [&] { return !fake.rx.empty() || fake.cancels != p.cancels || fake.gone || p.ended; };
        // A total time-out of 0 is none: the read waits for its byte.
        bool ended = fake.readWaitMs ? fake.changed.wait_for(hold, std::chrono::milliseconds(fake.readWaitMs), done)
                                     : (fake.changed.wait(hold, done), true);
        --fake.readsWaiting;
        ov->Internal = 0;
        ov->InternalHigh = 0;
        FakeState::Pending was = p;
        fake.pending.erase(ov);
        if (ended && (fake.cancels != was.cancels || was.ended)) {
            ov->Internal = ERROR_OPERATION_ABORTED;
        } else if (ended && fake.gone && fake.rx.empty()) {
            ov->Internal = fake.gone;
        } else {
            for (; ov->InternalHigh < was.size && !fake.rx.empty(); ov->InternalHigh++) {
                was.buffer[ov->InternalHigh] = fake.rx.front();
                fake.rx.pop_front();
            }
        }
    }
    *transferred = (DWORD)ov->InternalHigh;
    return ov->Internal == 0 ? TRUE : fail((DWORD)ov->Internal);
}

BOOL ClearCommError(HANDLE h, DWORD *errors, COMSTAT *stat)
{
    Hold hold(fake.lock);
    if (!use("ClearCommError", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    if (errors)
        *errors = fake.lineErrors;
    fake.lineErrors = 0; // told once, as Windows clears them
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = (DWORD)fake.rx.size();
    }
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    Hold hold(fake.lock);
    if (!use(("SetCommMask " + std::to_string(mask)).c_str(), h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    // Windows forgets what came under the old mask.
    fake.raised &= mask;
    fake.commMask = mask;
    fake.changed.notify_all();
    return TRUE;
}

BOOL WaitCommEvent(HANDLE h, DWORD *happened, OVERLAPPED *ov)
{
    Hold hold(fake.lock);
    if (!use("WaitCommEvent", h))
        return fail(ERROR_INVALID_HANDLE);
    if (vanished(h))
        return FALSE;
    if (!happened || !ov || !fake.overlapped.count(h) || fake.commMask == 0) {
        ++fake.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    *happened = 0;
    // What came already is told at once; else the wait is pending.
    if (fake.raised & fake.commMask) {
        *happened = fake.raised & fake.commMask;
        fake.raised &= ~fake.commMask;
        ov->Internal = 0;
        return TRUE;
    }
    ov->Internal = 0x103;
    fake.eventWaits[ov] = {happened, fake.commMask, fake.cancels, fake.eventsDontWait};
    return fail(ERROR_IO_PENDING);
}

} // extern "C"

namespace {

// Whether h is an open event; a misuse when not.
bool isEvent(HANDLE h)
{
    auto found = fake.handles.find(h);
    if (found != fake.handles.end() && found->second == "event")
        return true;
    ++fake.misuse;
    return false;
}

} // namespace

extern "C" {

BOOL SetEvent(HANDLE h)
{
    Hold hold(fake.lock);
    fake.calls.push_back("SetEvent");
    if (!isEvent(h))
        return fail(ERROR_INVALID_HANDLE);
    fake.signalled.insert(h);
    fake.changed.notify_all();
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds)
{
    Hold hold(fake.lock);
    fake.calls.push_back("WaitForMultipleObjects");
    if (!handles || count == 0 || count > 64 || all) {
        ++fake.misuse;
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    ++fake.multipleWaiting;
    fake.changed.notify_all();
    DWORD answer = WAIT_TIMEOUT;
    for (;;) {
        for (DWORD i = 0; i < count && answer == WAIT_TIMEOUT; i++) {
            if (!isEvent(handles[i])) {
                lastError = ERROR_INVALID_HANDLE;
                answer = WAIT_FAILED;
            } else if (fake.signalled.count(handles[i])) {
                if (!fake.manualReset.count(handles[i]))
                    fake.signalled.erase(handles[i]);
                answer = WAIT_OBJECT_0 + i;
            }
        }
        if (answer != WAIT_TIMEOUT)
            break;
        if (milliseconds == INFINITE)
            fake.changed.wait(hold);
        else if (fake.changed.wait_until(hold, deadline) == std::cv_status::timeout)
            break;
    }
    --fake.multipleWaiting;
    fake.changed.notify_all();
    return answer;
}

LONG RegOpenKeyExA(HKEY parent, const char *subKey, DWORD options, DWORD access, HKEY *key)
{
    Hold hold(fake.lock);
    fake.calls.push_back(std::string("RegOpenKeyExA ") + (subKey ? subKey : "(null)"));
    if (!key || !subKey || options || parent != HKEY_LOCAL_MACHINE || !(access & KEY_NOTIFY)) {
        ++fake.misuse;
        return ERROR_INVALID_PARAMETER;
    }
    std::string path = subKey;
    if (fake.failRegOpen)
        return (LONG)fake.failRegOpen;
    if (path != "HARDWARE\\DEVICEMAP" && (path != "HARDWARE\\DEVICEMAP\\SERIALCOMM" || fake.noSerialComm))
        return ERROR_FILE_NOT_FOUND;
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle++);
    fake.handles[h] = "key";
    fake.keys[h].path = path;
    *key = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LONG RegNotifyChangeKeyValue(HKEY key, BOOL subtree, DWORD filter, HANDLE event, BOOL async)
{
    Hold hold(fake.lock);
    HANDLE h = reinterpret_cast<HANDLE>(key);
    fake.calls.push_back("RegNotifyChangeKeyValue " + std::to_string(subtree) + " " + std::to_string(filter));
    if (!fake.keys.count(h) || !async || !isEvent(event)) {
        ++fake.misuse;
        return ERROR_INVALID_HANDLE;
    }
    if (fake.noThreadAgnostic && (filter & REG_NOTIFY_THREAD_AGNOSTIC))
        return ERROR_INVALID_PARAMETER;
    FakeState::Key &k = fake.keys[h];
    k.notify = event;
    k.subtree = subtree;
    k.filter = filter;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, BYTE *data, DWORD *size)
{
    Hold hold(fake.lock);
    HANDLE h = reinterpret_cast<HANDLE>(key);
    fake.calls.push_back(std::string("RegQueryValueExA ") + (name ? name : "(null)"));
    if (!fake.keys.count(h) || reserved) {
        ++fake.misuse;
        return ERROR_INVALID_HANDLE;
    }
    if (!fake.watchHow || !name || std::string(name) != "RuvekWatch")
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = REG_DWORD;
    if (!size || *size < sizeof(DWORD) || !data)
        return 234; // ERROR_MORE_DATA
    std::memcpy(data, &fake.watchHow, sizeof(DWORD));
    *size = sizeof(DWORD);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    Hold hold(fake.lock);
    HANDLE h = reinterpret_cast<HANDLE>(key);
    fake.calls.push_back("RegCloseKey");
    auto k = fake.keys.find(h);
    if (k == fake.keys.end()) {
        ++fake.misuse;
        return ERROR_INVALID_HANDLE;
    }
    // As on Windows: a notice pending on a key closed is signalled.
    if (k->second.notify && fake.handles.count(k->second.notify))
        fake.signalled.insert(k->second.notify);
    fake.keys.erase(k);
    fake.handles.erase(h);
    fake.changed.notify_all();
    return ERROR_SUCCESS;
}

} // extern "C"
