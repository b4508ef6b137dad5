#include "fake_win32.h"

#include <cstdint>

FakeWin32 fake;

namespace {

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
    if (!use("SetupComm", h))
        return FALSE;
    fake.inQueue = inQueue;
    fake.outQueue = outQueue;
    return !fake.failSetupComm;
}

BOOL GetCommState(HANDLE h, DCB *dcb)
{
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
    if (!use("SetCommState", h))
        return FALSE;
    fake.applied.push_back(*dcb);
    return !fake.failSetCommState;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts)
{
    if (!use("SetCommTimeouts", h))
        return FALSE;
    fake.timeouts.push_back(*timeouts);
    return !fake.failSetCommTimeouts;
}

BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
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
    *written = 0;
    if (!use("WriteFile", h))
        return FALSE;
    if (toWrite != 1 || overlapped)
        ++fake.misuse;
    if (fake.failWrite)
        return FALSE;
    if (fake.writeTakes)
        fake.tx.push_back(*static_cast<const unsigned char *>(buffer));
    *written = fake.writeTakes;
    return TRUE;
}

BOOL CloseHandle(HANDLE h)
{
    if (!use("CloseHandle", h))
        return FALSE;
    fake.handles.erase(h);
    return TRUE;
}

} // extern "C"
