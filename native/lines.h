// What the named API's natives share: a line, how a call finds the line its
// handle names, and how a call's failure reaches Java. lines.cpp opens,
// closes and carries bytes; lines_control.cpp sets and reads the line.
#ifndef RUVEK_LINES_H
#define RUVEK_LINES_H

#include "ruvek_LineNatives.h"
#include "line.h"

#include <atomic>

namespace ruvek_lines {

// What one native call moves through its buffer at most; a write loops
// over chunks until the whole range is taken.
constexpr DWORD CHUNK = 16384;

struct Line {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE readDone = 0, writeDone = 0; // the events of the two directions' transfers
    std::atomic<bool> cancelled{false};
    // wakeRead's count, and as many of them as a read has answered (the
    // reader's alone); the record of the read in progress, which a wake ends.
    std::atomic<unsigned> wakes{0};
    unsigned wakesSeen = 0;
    OVERLAPPED readRecord = {};
    DWORD readWait = MAXDWORD;          // the read time-out set on the port; MAXDWORD: none yet
    // The event wait's (lines_events.cpp), one waiter at a time: its event,
    // record and answer, the mask set on the port, its wakes as the read's;
    // and line errors that a read's ClearCommError took before it could see them.
    HANDLE eventDone = 0;
    OVERLAPPED eventRecord = {};
    DWORD happened = 0;
    DWORD eventMask = 0;
    std::atomic<unsigned> eventWakes{0};
    unsigned eventWakesSeen = 0;
    std::atomic<DWORD> errorsSeen{0};
    // Where the system's event wait ends at once with nothing (Wine's on a
    // pty), the line is looked at every few ms instead: what the last look saw.
    // Transfers that moved bytes, each direction's, count for those looks,
    // and only while the line is looked at: a read or write pays one load else.
    unsigned quietEnds = 0;
    std::atomic<bool> looking{false};
    DWORD lookQueue = 0, lookOut = 0, lookLines = 0;
    std::atomic<unsigned> reads{0}, writes{0};
    unsigned lookReads = 0, lookWrites = 0;
    // One reader and one writer at a time use them (the Java side takes turns).
    unsigned char in[CHUNK];
    unsigned char out[CHUNK];
};

// Minus the error, as a native answers Java.
jint failure(DWORD error);

// A call on l failed: minus the error, ERROR_DEVICE_REMOVED for every way a
// system says that the device has gone.
jint lineFailure(const Line &l, DWORD error);

// The line that a call may use: null, with minus the error in *error, for a
// handle that names no open line, or for a line that a cancel is closing.
Line *usable(jlong handle, jint *error);

// f's answer on the line that handle names, when a call may use it; else minus the error.
template <class F> jint onLine(jlong handle, F f)
{
    jint error;
    Line *l = usable(handle, &error);
    return l ? f(*l) : error;
}

// The format of a line as Java passes it; false for a value outside what the
// natives know, and for RS-485 with RTS/CTS, which both want RTS.
bool formatOf(jint baud, jint dataBits, jint parity, jint stopBits, jint flow, jint options, LineFormat *f);

// Makes a read wait up to ms (0: without limit) for all it asks; with an
// interval, only until that gap follows a byte.
bool setReadWait(Line &l, DWORD ms, DWORD interval = 0);

// Runs one overlapped transfer to its end: the bytes moved, or minus the
// error. A read that wakeRead ended gives what it took and sets *woken.
jint transfer(Line &l, bool reading, void *buffer, DWORD n, bool *woken = nullptr);

// The bytes received and not yet read, or minus the error.
jint waiting(Line &l);

// Whether [off, off + len) lies inside the array.
bool inside(JNIEnv *env, jbyteArray b, jint off, jint len);

inline DWORD atMost(jint n, DWORD limit) { return (DWORD)n < limit ? (DWORD)n : limit; }

} // namespace ruvek_lines

#endif
