// The termios layer's line settings: a DCB to termios and back as pure
// functions over one two-way rate table, and their reading from and
// applying to a device. No state.
#include "termios.h"

#include "line.h"

#include <errno.h>
#include <linux/serial.h>
#include <stddef.h>
#include <sys/ioctl.h>

#if defined(__linux__) && defined(TCGETS2) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
// The kernel's record for arbitrary rates; <asm/termbits.h> would clash with
// <termios.h>. This is its layout on the architectures listed above.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
// The kernel's sizes and offsets there (NCCS 19): a struct that drifted would
// hand the kernel a rate in the wrong place.
static_assert(sizeof(termios2) == 44 && offsetof(termios2, c_line) == 16 && offsetof(termios2, c_cc) == 17 &&
                  offsetof(termios2, c_ispeed) == 36 && offsetof(termios2, c_ospeed) == 40,
              "termios2 is not the kernel's layout");
#define RUVEK_BOTHER 0010000
#define RUVEK_HAVE_TERMIOS2 1
#endif

namespace ruvek_termios {

namespace {

#ifdef CMSPAR
const tcflag_t STICKY = CMSPAR; // mark or space parity
#else
const tcflag_t STICKY = 0; // no mark or space parity here
#endif

const struct { DWORD rate; speed_t code; } standardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// Why a call on the device failed: it has gone (a pulled adapter, a hung-up
// tty), or it refused what was asked.
DWORD refusalOrGone(int e) { return goneErrno(e) ? ERROR_DEVICE_REMOVED : ERROR_INVALID_PARAMETER; }

bool modemLines(int fd, int request, int lines)
{
    // A pseudo-terminal has no modem lines; that is no error.
    return ioctl(fd, request, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

} // namespace

bool rateCode(DWORD rate, speed_t *code)
{
    for (const auto &r : standardRates)
        if (r.rate == rate) {
            *code = r.code;
            return true;
        }
    return false;
}

bool codeRate(speed_t code, DWORD *rate)
{
    for (const auto &r : standardRates)
        if (r.code == code) {
            *rate = r.rate;
            return true;
        }
    return false;
}

void dcbFromTermios(const struct termios &t, int lines, DCB *dcb)
{
    DWORD length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    codeRate(cfgetospeed(&t), &dcb->BaudRate);

    switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY: CMSPAR makes
    // the parity bit stick at PARODD's value.
    bool odd = (t.c_cflag & PARODD) != 0;
    dcb->Parity = !(t.c_cflag & PARENB) ? 0 : (t.c_cflag & STICKY) ? (odd ? 3 : 4) : odd ? 1 : 2;
    // A UART sends CSTOPB as 1.5 stop bits after 5 data bits, as 2 after more.
    dcb->StopBits = !(t.c_cflag & CSTOPB) ? ONESTOPBIT : dcb->ByteSize == 5 ? 1 : 2;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) != 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb->fOutX = (t.c_iflag & IXON) != 0;
    dcb->fInX = (t.c_iflag & IXOFF) != 0;

    bool haveLines = lines >= 0;
    dcb->fDtrControl = haveLines && (lines & TIOCM_DTR) ? 1 : DTR_CONTROL_DISABLE;
    dcb->fRtsControl = (t.c_cflag & CRTSCTS) ? 2 : haveLines && (lines & TIOCM_RTS) ? 1 : RTS_CONTROL_DISABLE;

    dcb->XonChar = (char)t.c_cc[VSTART];
    dcb->XoffChar = (char)t.c_cc[VSTOP];
    dcb->EofChar = (char)t.c_cc[VEOF];
}

bool termiosFromDcb(const DCB &dcb, struct termios *out, bool *standard)
{
    // What termios cannot do is refused rather than quietly ignored.
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    // 1.5 stop bits go with 5 data bits alone, and 2 never do (CSTOPB is 1.5 there).
    bool fiveBits = dcb.ByteSize == 5;
    if (dcb.BaudRate == 0 /* would hang up */ || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        (dcb.Parity > 2 && !STICKY) || dcb.StopBits > 2 || (dcb.StopBits == 1 && !fiveBits) ||
        (dcb.StopBits == 2 && fiveBits) || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl > 1 ||
        (dcb.fRtsControl == RTS_CONTROL_TOGGLE && dcb.fOutxCtsFlow))
        return false;

    speed_t code = B38400; // stand-in for a rate set through termios2
    *standard = rateCode(dcb.BaudRate, &code);
#ifndef RUVEK_HAVE_TERMIOS2
    if (!*standard)
        return false;
#endif

    struct termios t = *out;
    // Raw: every byte passes as it is, in both directions.
    cfmakeraw(&t);
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK | IGNPAR);
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    if (dcb.fParity)
        t.c_iflag |= INPCK;
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | STICKY | CSTOPB | CRTSCTS);
    t.c_cflag |= sizes[dcb.ByteSize - 5] | CREAD | CLOCAL;
    if (dcb.Parity)
        t.c_cflag |= PARENB | (dcb.Parity == 1 || dcb.Parity == 3 ? PARODD : 0) | (dcb.Parity > 2 ? STICKY : 0);
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1; // with O_NONBLOCK, "nothing yet" reads as EAGAIN, not as end of file
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = (cc_t)dcb.XonChar;
    t.c_cc[VSTOP] = (cc_t)dcb.XoffChar;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0)
        return false;
    *out = t;
    return true;
}

bool readSettings(int fd, DCB *dcb)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0)
        lines = -1;
    dcbFromTermios(t, lines, dcb);
#ifdef RUVEK_HAVE_TERMIOS2
    struct termios2 t2;
    if ((t.c_cflag & CBAUD) == RUVEK_BOTHER && ioctl(fd, TCGETS2, &t2) == 0)
        dcb->BaudRate = t2.c_ospeed;
#endif
    // The kernel says what was asked; the chip, where we know it, runs at its own.
    DWORD real = realRate(fd, dcb->BaudRate);
    if (real)
        dcb->BaudRate = real;
    // The two a driver may have beyond termios; a driver without them has them off.
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY))
        dcb->fDummy2 |= DCB_LOW_LATENCY;
    struct serial_rs485 rs485;
    if (ioctl(fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED))
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    return true;
}

namespace {

// Turns the driver's low latency on or off; a driver without the flag has
// it off already, and refuses it on.
DWORD applyLowLatency(int fd, bool on)
{
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return on ? refusalOrGone(errno) : 0;
    if (((serial.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return 0;
    serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return refusalOrGone(errno);
    return ((serial.flags & ASYNC_LOW_LATENCY) != 0) == on ? 0 : ERROR_INVALID_PARAMETER;
}

// Turns RS-485 direction control on (RTS high while sending, low after) or
// off; a driver without it has it off, and refuses it on.
DWORD applyRs485(int fd, bool on)
{
    struct serial_rs485 rs485 = {};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0)
        return on ? refusalOrGone(errno) : 0;
    if (((rs485.flags & SER_RS485_ENABLED) != 0) == on)
        return 0;
    rs485.flags &= ~(uint32_t)(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND);
    if (on)
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd, TIOCSRS485, &rs485) != 0 || ioctl(fd, TIOCGRS485, &rs485) != 0)
        return refusalOrGone(errno);
    return ((rs485.flags & SER_RS485_ENABLED) != 0) == on ? 0 : ERROR_INVALID_PARAMETER;
}

} // namespace

DWORD applySettings(int fd, const DCB &dcb)
{
    struct termios t;
    bool standard = false;
    if (tcgetattr(fd, &t) != 0)
        return refusalOrGone(errno);
    if (!termiosFromDcb(dcb, &t, &standard))
        return ERROR_INVALID_PARAMETER;
    // Under the handshake RTS is the flow control's: raised, since the line
    // can take input, and lowered by the kernel while it can't. Raised first:
    // a driver that turns the handshake on while CTS is low (as RTS is, in a
    // loopback) stops sending until CTS changes, and may never see it change.
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !modemLines(fd, TIOCMBIS, TIOCM_RTS))
        return refusalOrGone(errno);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return refusalOrGone(errno);

#ifdef RUVEK_HAVE_TERMIOS2
    if (!standard) {
        struct termios2 t2;
        if (ioctl(fd, TCGETS2, &t2) != 0)
            return refusalOrGone(errno);
        t2.c_cflag = (t2.c_cflag & ~(tcflag_t)CBAUD) | RUVEK_BOTHER;
        t2.c_ispeed = t2.c_ospeed = dcb.BaudRate;
        if (ioctl(fd, TCSETS2, &t2) != 0 || ioctl(fd, TCGETS2, &t2) != 0)
            return refusalOrGone(errno);
        if (t2.c_ospeed != dcb.BaudRate)
            return ERROR_INVALID_PARAMETER;
    }
#endif

    // tcsetattr succeeds when any part was applied: check what matters stuck.
    struct termios check;
    const tcflag_t format = CSIZE | PARENB | PARODD | STICKY | CSTOPB;
    if (tcgetattr(fd, &check) != 0)
        return refusalOrGone(errno);
    if ((check.c_cflag & format) != (t.c_cflag & format) || (standard && cfgetospeed(&check) != cfgetospeed(&t)))
        return ERROR_INVALID_PARAMETER;
    // A rate the chip misses by more than a receiver takes is refused, as
    // any other the driver can't make; the caller puts the line back.
    DWORD real = realRate(fd, dcb.BaudRate);
    if (real && !rateClose(real, dcb.BaudRate))
        return ERROR_INVALID_PARAMETER;

    DWORD error = applyLowLatency(fd, dcb.fDummy2 & DCB_LOW_LATENCY);
    if (!error)
        error = applyRs485(fd, dcb.fRtsControl == RTS_CONTROL_TOGGLE);
    if (error)
        return error;
    // RS-485 and the handshake drive RTS themselves.
    bool ownRts = dcb.fRtsControl == RTS_CONTROL_DISABLE || dcb.fRtsControl == RTS_CONTROL_ENABLE;
    if (!modemLines(fd, dcb.fDtrControl ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) ||
        (ownRts && !modemLines(fd, dcb.fRtsControl ? TIOCMBIS : TIOCMBIC, TIOCM_RTS)))
        return refusalOrGone(errno);
    return 0;
}

} // namespace ruvek_termios
