// What the termios layer's files share: the port names, the line settings
// as pure functions of a DCB and a termios record, and the waits under
// Win32's time-outs. The open ports' state is port.h's.
#ifndef RUVEK_TERMIOS_LAYER_H
#define RUVEK_TERMIOS_LAYER_H

#include "win32.h"

#include <errno.h>
#include <stddef.h>
#include <termios.h>

namespace ruvek_termios {

// Whether a call's errno says the device has gone: a USB adapter pulled out
// answers ENODEV or ENXIO while its driver lets go, then EIO once the tty
// has hung up, as a pty does whose far end closed.
inline bool goneErrno(int e) { return e == EIO || e == ENODEV || e == ENXIO; }

// names.cpp

// The device behind a port name, or false for a name that is not a COM port
// or a path that does not fit. A name that starts with / is the path itself. \\.\COMn and COMn resolve to the link com<n>
// in $XDG_CONFIG_HOME/ruvek/ (~/.config/ruvek/) when it exists, otherwise to
// /dev/ttyS<n-1> for n >= 1, as Wine maps COM ports. The Java side finds the
// same links (java/ruvek/LinuxLinks.java).
bool devicePath(const char *name, char *path, size_t size);

// settings.cpp

// A standard rate and its termios code, each way; false when there is none.
bool rateCode(DWORD rate, speed_t *code);
bool codeRate(speed_t code, DWORD *rate);

// The DCB that describes t, with the modem lines given (TIOCM_* bits), or
// with DTR and RTS off when the device has none (lines < 0). The rate is the
// standard one t names; the caller fills in an arbitrary one.
void dcbFromTermios(const struct termios &t, int lines, DCB *dcb);

// Makes t the raw line that dcb asks for; false, with t unchanged, for what
// termios can't do (a DSR handshake, 2 stop bits after 5 data bits, 1.5
// after more, mark or space parity without CMSPAR, ...).
// *standard says whether the rate has a termios code; otherwise t carries
// B38400 and the rate goes to the device through termios2.
bool termiosFromDcb(const DCB &dcb, struct termios *t, bool *standard);

// Reads the device's settings into dcb (its DCBlength kept); false, with
// errno set, when it has none.
bool readSettings(int fd, DCB *dcb);

// Applies dcb to the device and checks that what matters stuck: 0, else
// ERROR_INVALID_PARAMETER when the device or termios refused any part, or
// ERROR_DEVICE_REMOVED when the device has gone.
DWORD applySettings(int fd, const DCB &dcb);

// rates.cpp

// The rate the device's UART really runs at when asked for `asked`, where
// its driver's divisor is known (the 8250's, ftdi_sio's); 0 where it isn't.
DWORD realRate(int fd, DWORD asked);

// The rate an 8250 with this baud_base makes of `asked`; the rate an FTDI BM,
// R or X chip makes of it, as ftdi_sio sets its divisor.
DWORD uartRate(DWORD baseRate, DWORD asked);
DWORD ftdiRate(DWORD asked);

// waits.cpp

long long nowMs(); // a monotonic clock

enum Wait { READY, TIMED_OUT, CLOSING, WOKEN };

// Waits for fd to become ready for `events`, until the deadline (-1: none)
// or until `wake` is readable (CLOSING), or `readWake` (WOKEN, having
// emptied it; -1: none). READY also when the call that follows should run
// to report the error.
Wait waitFor(int fd, int wake, short events, long long deadline, int readWake = -1);

// Closes both ends of a pipe that may be open, and marks them closed.
void closePipe(int (&ends)[2]);

// The deadline of a transfer of n bytes under Win32's total time-out rule,
// where zero multiplier and constant mean no limit (-1). The clock is read
// only when a wait first needs it: a poll that never waits never pays for it.
struct Deadline {
    DWORD multiplier, constant, n;
    long long at = -2; // not yet asked for

    long long get()
    {
        if (at == -2) {
            unsigned long long ms = (unsigned long long)multiplier * n + constant;
            at = ms ? nowMs() + (long long)ms : -1;
        }
        return at;
    }
};

// watch.cpp

// Whether a kernel uevent of len bytes (a header "action@path", NUL, then
// KEY=VALUE fields each ended by NUL) tells a tty's or a USB serial port's
// coming ("add") or going ("remove"); nothing past len is read.
bool ttyUevent(const char *msg, size_t len);

} // namespace ruvek_termios

#endif
