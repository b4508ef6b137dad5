#include "fake_win32.h"

#include <chrono>
#include <cstdint>
#include <thread>

FakeWin32 fake;

void FakeWin32::release()
{
    std::lock_guard<std::mutex> hold(lock);
    blockWrites = false;
    changed.notify_all();
}

bool FakeWin32::waitBlocked(int n)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(2), [&] { return blocked == n; });
}

namespace {

using Hold = std::unique_lock<std::mutex>;

uintptr_t nextHandle = 0x100;

// Records a call on h; false, and a misuse, when h is not open.
bool use(const char *what, HANDLE h)
{
    fake.calls.push_back(what);
    if (fake.handles.count(h))
        return true;
    ++fake.misuse;
    return false;
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
    if (!fake.devices.count(name))
        return INVALID_HANDLE_VALUE;
    for (const auto &open : fake.handles)
        if (open.second == name)
            return INVALID_HANDLE_VALUE; // share mode 0: one opener at a time
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle++);
    fake.handles[h] = name;
    return h;
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue)
{
    Hold hold(fake.lock);
    if (!use("SetupComm", h))
        return FALSE;
    fake.inQueue = inQueue;
    fake.outQueue = outQueue;
    return !fake.failSetupComm;
}

BOOL GetCommState(HANDLE h, DCB *dcb)
{
    Hold hold(fake.lock);
    if (!use("GetCommState", h))
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
        return FALSE;
    fake.applied.push_back(*dcb);
    return !fake.failSetCommState;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts)
{
    Hold hold(fake.lock);
    if (!use("SetCommTimeouts", h))
        return FALSE;
    fake.timeouts.push_back(*timeouts);
    return !fake.failSetCommTimeouts;
}

BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    Hold hold(fake.lock);
    *read = 0;
    if (!use("ReadFile", h))
        return FALSE;
    if (toRead != 1 || overlapped)
        ++fake.misuse;
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
    *written = 0;
    if (!use("WriteFile", h))
        return FALSE;
    if (toWrite != 1 || overlapped)
        ++fake.misuse;
    if (fake.failWrite)
        return FALSE;
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
        return FALSE;
    fake.handles.erase(h);
    return TRUE;
}

BOOL CancelIoEx(HANDLE h, void *overlapped)
{
    Hold hold(fake.lock);
    if (!use("CancelIoEx", h))
        return FALSE;
    if (overlapped)
        ++fake.misuse;
    ++fake.cancels;
    fake.changed.notify_all();
    return TRUE;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

} // extern "C"
