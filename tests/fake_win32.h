// A recording stand-in for the Win32 functions that the core calls: it
// reports what a test tells it to and records what the core asked of it.
#ifndef RUVEK_FAKE_WIN32_H
#define RUVEK_FAKE_WIN32_H

#include "win32.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

struct FakeWin32 {
    // How the devices behave.
    std::set<std::string> devices;  // names that CreateFileA opens, one opener at a time
    bool failSetupComm = false;
    bool failGetCommState = false;
    bool failSetCommState = false;
    bool failSetCommTimeouts = false;
    bool failWrite = false;
    DWORD writeTakes = 1;           // bytes that a successful WriteFile reports written
    DCB reported = {};              // what GetCommState fills in, beyond DCBlength
    std::deque<unsigned char> rx;   // received bytes waiting to be read

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
    std::map<HANDLE, std::string> handles; // open right now
    int misuse = 0;                 // calls on a handle that is not open, or with bad arguments
};

extern FakeWin32 fake;

#endif
