// The termios layer's open ports, as its files share them: the table, each
// port's state and the rule of who may touch it. port.cpp opens and closes
// them, transfer.cpp reads and writes them, control.cpp sets them up.
#ifndef RUVEK_TERMIOS_PORT_H
#define RUVEK_TERMIOS_PORT_H

#include "termios.h"

#include <atomic>

#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <time.h>

namespace ruvek_termios {

// The open ports. Another thread may be inside ReadFile or WriteFile while
// CloseHandle runs (nothing else can free a write blocked on flow control),
// so reads and writes each hold their direction's turn of the port, and the
// descriptor is closed only once the close has taken both: its number is
// never reused under a call, and two readers never share the read-ahead.
//
// Opening, closing and the settings calls hold `lifecycle`, one for every
// port; reads and writes take only their port's turn. A close takes
// `lifecycle`, then the read turn, then the write turn; nothing takes them
// in another order.
// (pthread's mutex rather than std::mutex, which throws: libstdc++'s
// exception support would come into the library, and its exports with it.)
extern pthread_mutex_t lifecycle;
struct Lifecycle {
    Lifecycle() { pthread_mutex_lock(&lifecycle); }
    ~Lifecycle() { pthread_mutex_unlock(&lifecycle); }
};

// A direction's turn: one atomic exchange to take it, a store to give it
// back, which costs a lone caller less than a mutex. A caller that finds it
// taken yields, then sleeps, until it is free: two threads reading one port
// at once is rare, and either way the port serves one at a time.
struct Turn {
    std::atomic<bool> taken{false};

    void take()
    {
        for (unsigned spins = 0; taken.exchange(true, std::memory_order_acquire); ++spins) {
            if (spins < 64) {
                sched_yield();
            } else {
                struct timespec t = {0, 200000};
                nanosleep(&t, nullptr);
            }
        }
    }
    void give() { taken.store(false, std::memory_order_release); }
};
struct HoldTurn {
    Turn &turn;
    explicit HoldTurn(Turn &t) : turn(t) { turn.take(); }
    ~HoldTurn() { turn.give(); }
};

// Bytes that one read(2) took from the device beyond what its caller asked
// for, served to the reads that follow with no system call. They belong to
// the open port: emptied when it closes, so that a new one starts empty and
// no byte outlives the open that read it. The fixed size bounds how far we run
// ahead of the caller; past it the driver's queue fills and throttles the
// sender (CTS, XOFF, a blocked pty writer) as before. Only a call holding
// the read turn touches it, but for `held`, which ClearCommError reads.
struct ReadAhead {
    unsigned char bytes[4096]; // n_tty's own queue: one read(2) seldom returns more
    DWORD start, end;          // bytes[start, end) are still to be delivered
    DWORD quietPolls;          // empty polls that FIONREAD alone answered
    bool drained;              // the last read(2) left the device's queue empty
    std::atomic<DWORD> held;   // end - start, for ClearCommError
};

// What the event wait (events.cpp) keeps between its calls. The counts and
// lines are those reported so far, so that a change is told once; only the
// thread in the wait touches them, under the port's event turn.
struct EventState {
    std::atomic<DWORD> mask{0};
    std::atomic<OVERLAPPED *> pending{nullptr}; // the record of the wait that WaitCommEvent began
    DWORD *happened = nullptr;
    int wake[2] = {-1, -1}; // readable once the pending wait's record is cancelled
    int wrote[2] = {-1, -1}; // readable once a write made output pending, for TXEMPTY
    int poller = -1;        // epoll over the device (edge-triggered) and the wake pipes
    bool counts = false;    // the driver keeps TIOCGICOUNT's counts, and TIOCMIWAIT with them
    struct serial_icounter_struct seen = {};
    int lines = 0;          // TIOCM_* bits as last reported
    bool arrived = false;   // bytes came since the last report
    std::atomic<bool> outPending{false}; // written since the output was last seen empty
    std::atomic<int> waiter{0};          // the thread in TIOCMIWAIT, for a wake's signal
    // The counts behind ClearCommError's errors, apart from the wait's.
    Turn errorTurn;
    struct serial_icounter_struct cleared = {};
};

struct Port {
    std::atomic<uintptr_t> handle{0}; // this open's handle; 0 when the slot is free
    int fd = -1;
    int wake[2] = {-1, -1};           // readable once the port is closing or its calls cancelled
    int readWake[2] = {-1, -1};       // readable once a read's record is cancelled, until a read's wait sees it
    bool marked = false;              // we set TIOCEXCL on it
    // Read in flight without a lock: each field is whole, and any mix of old
    // and new is still a valid set of time-outs.
    std::atomic<DWORD> readInterval{0}, readMultiplier{0}, readConstant{0}, writeMultiplier{0},
        writeConstant{0};
    std::atomic<bool> purged{false}; // the read-ahead is to go before the next read
    // Apart, so that a reader and a writer on two threads don't share a cache line.
    alignas(64) Turn readTurn;
    alignas(64) Turn writeTurn;
    alignas(64) Turn eventTurn;
    ReadAhead ahead;
    EventState events;
};

// A handle names its slot and its open: SLOTS * (opens so far) + slot + 1,
// so that a handle kept from an earlier open of the slot never reaches the
// port open there now, even when the descriptor's number is the same.
constexpr unsigned SLOTS = 64;
extern Port ports[SLOTS];

// A transfer's event is never waited on here, since every transfer completes
// in its call: a handle of their own range is all events need, never a port's.
// Those that SetEvent or WaitForMultipleObjects use get an eventfd on first
// use (watch.cpp), which their CloseHandle frees with releaseEvent.
constexpr uintptr_t EVENT = (uintptr_t)1 << (sizeof(uintptr_t) * 8 - 2);
void releaseEvent(HANDLE h);

extern thread_local DWORD lastError;

inline BOOL fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

// Win32's code for an errno of open(2) or flock(2).
DWORD errorOf(int e);

// Win32's code for an errno of a call on an open port: a read, a write, a
// setting or a modem line. A device that has gone is ERROR_DEVICE_REMOVED.
DWORD lineErrorOf(int e);

void discardReadAhead(ReadAhead &ahead);

// The slot that h names, open or not; null for a handle that names none.
inline Port *slotOf(HANDLE h)
{
    uintptr_t v = (uintptr_t)h;
    return v == 0 || (v & EVENT) || h == INVALID_HANDLE_VALUE ? nullptr : &ports[(v - 1) % SLOTS];
}

// The port that h names, or null. Its fd is stable for callers that hold
// `lifecycle` or one of its turns and have checked the handle under it.
inline Port *portOf(HANDLE h)
{
    Port *p = slotOf(h);
    return p && p->handle.load() == (uintptr_t)h ? p : nullptr;
}

// The turns of h's slot, open or not: a caller takes its turn first, then
// checks that h is still the slot's open, so that a close that took the turn
// after it waits for it to leave. A handle that names no slot gets a turn
// of its own, and finds no port.
extern Turn noTurn;
inline Turn &readTurnOf(HANDLE h)
{
    Port *p = slotOf(h);
    return p ? p->readTurn : noTurn;
}
inline Turn &writeTurnOf(HANDLE h)
{
    Port *p = slotOf(h);
    return p ? p->writeTurn : noTurn;
}

void setTimeouts(Port &p, const COMMTIMEOUTS &t);

// events.cpp: ends p's event wait after `wake` (the port's or the event
// wait's own pipe) has been written; frees what the waits held, for a close
// that holds every turn of p; the line errors since the last ClearCommError,
// as CE_* bits, 0 while no event mask asks for them; and the wait that
// GetOverlappedResult runs for a record that WaitCommEvent began.
void wakeEvents(Port &p);
void releaseEvents(Port &p);
// A write has queued bytes: for TXEMPTY, the wait looks for their end.
void wroteOut(Port &p);
DWORD lineErrors(Port &p);
BOOL waitEvent(Port &p, DWORD *happened);

} // namespace ruvek_termios

#endif
