// A recording stand-in for the Win32 functions that the core calls: it
// reports what a test tells it to and records what the core asked of it.
#ifndef RUVEK_FAKE_WIN32_H
#define RUVEK_FAKE_WIN32_H

#include "win32.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct FakeState {
    // How the devices behave.
    std::set<std::string> devices;  // names that CreateFileA opens, one opener at a time
    bool failSetupComm = false;
    bool failGetCommState = false;
    bool failSetCommState = false;
    bool failSetCommTimeouts = false;
    bool failWrite = false;
    bool failCreateEvent = false;
    bool rememberState = false;     // SetCommState's record becomes what GetCommState reports
    bool (*refuseState)(const DCB &) = nullptr; // SetCommState refuses a record it picks
    void (*alterState)(DCB &) = nullptr; // what a remembering driver keeps of a record it took, as Wine's may
    bool noModemLines = false;      // the line-control calls fail as on a device without them
    DWORD writeTakes = 1;           // bytes that a successful WriteFile reports written
    DCB reported = {};              // what GetCommState fills in, beyond DCBlength
    std::deque<unsigned char> rx;   // received bytes waiting to be read
    // A write waits until it is cancelled (returning FALSE) or, when the
    // system can't cancel it, until the test lets it finish.
    bool blockWrites = false;
    bool uncancellable = false;
    // Non-zero: the device has gone, and every call on a port but CloseHandle
    // and CancelIoEx fails with this error, as a removed device's does on
    // Windows; a read pending then ends with it.
    DWORD gone = 0;

    // What the core did.
    std::vector<std::string> calls; // every call, in order, e.g. "CreateFileA \\.\COM1"
    struct Open {
        std::string name;
        DWORD access, shareMode, creation, flags;
        bool security, templateFile; // true when non-null
    };
    std::vector<Open> opens;        // every CreateFileA, successful or not
    DWORD inQueue = 0, outQueue = 0;
    DWORD lengthSeen = 0;           // DCBlength when GetCommState was called
    std::vector<DCB> applied;       // every record given to SetCommState
    std::vector<COMMTIMEOUTS> timeouts;
    std::vector<unsigned char> tx;  // bytes written
    std::vector<DWORD> writeSizes;  // each overlapped WriteFile's length
    DWORD modemStatus = 0;          // what GetCommModemStatus reports
    std::map<HANDLE, std::string> handles; // open right now: ports by name, events as "event"
    std::set<HANDLE> overlapped;    // ports opened with FILE_FLAG_OVERLAPPED
    DWORD readWaitMs = 0;           // the total read time-out that a pending overlapped read honours; 0: none
    struct Pending {
        unsigned char *buffer;
        DWORD size;
        unsigned cancels; // CancelIoEx calls before it was issued
        bool ended;       // its own record was cancelled
    };
    std::map<OVERLAPPED *, Pending> pending; // overlapped reads in progress
    int misuse = 0;                 // calls on a handle that is not open, or with bad arguments
    int blocked = 0;                // writes waiting right now
    int readsWaiting = 0;           // overlapped reads waiting in GetOverlappedResult right now
    unsigned cancels = 0;           // CancelIoEx calls that reached an open handle

    // Line events: the mask set, the events raised and not yet told, the
    // line errors that ClearCommError reports once, and the event waits
    // pending, as Windows keeps them per port.
    DWORD commMask = 0;
    DWORD raised = 0;
    DWORD lineErrors = 0;
    struct EventWait {
        DWORD *happened;
        DWORD mask;       // the mask it began under: a change ends it with nothing
        unsigned cancels; // CancelIoEx calls before it began
        bool ended;       // its own record was cancelled
    };
    std::map<OVERLAPPED *, EventWait> eventWaits;
    int eventsWaiting = 0;          // event waits in GetOverlappedResult right now
    bool eventsDontWait = false;    // an event wait ends at once, aborted, as Wine's on a pty

    // Events that a wait may find signalled, and the registry's keys: those
    // open are in `handles` as "key", with the event a change notice signals.
    std::set<HANDLE> signalled;
    std::set<HANDLE> manualReset;
    struct Key {
        std::string path;
        HANDLE notify = 0;       // the event of the notice asked for; 0 once signalled
        BOOL subtree = FALSE;
        DWORD filter = 0;
    };
    std::map<HANDLE, Key> keys;
    bool noSerialComm = false;      // the key SERIALCOMM is missing, as on a Windows with no port
    DWORD failRegOpen = 0;          // non-zero: RegOpenKeyExA answers it
    bool noThreadAgnostic = false;  // REG_NOTIFY_THREAD_AGNOSTIC is refused, as before Windows 8
    DWORD watchHow = 0;             // non-zero: the key's value RuvekWatch, as a layer reports it
    int multipleWaiting = 0;        // threads in WaitForMultipleObjects right now
};

struct FakeWin32 : FakeState {
    // Every function holds it, so that tests may call the core from many threads.
    std::mutex lock;
    std::condition_variable changed;

    // Back to a fresh fake, with no thread inside it.
    void reset() { static_cast<FakeState &>(*this) = FakeState{}; }

    // Lets the writes held by blockWrites finish, each writing its byte.
    void release();
    // Bytes arrive on the line, ending a read that waits for them.
    void arrive(const std::string &bytes);
    // The device goes, its calls failing with error from now on.
    void unplug(DWORD error);
    // Events come on the line (EV_* bits), ending a wait for them.
    void raise(DWORD events);
    // Waits until `eventsWaiting` is n; false after 20 seconds.
    bool waitEventsWaiting(int n);
    // A registry key changes: each change notice asked for signals its event once.
    void changeKey();
    // Waits until `multipleWaiting` is n; false after 20 seconds.
    bool waitMultipleWaiting(int n);
    // Waits until `blocked` is n; false after 20 seconds, which only a fault spends.
    bool waitBlocked(int n);
};

extern FakeWin32 fake;

#endif
