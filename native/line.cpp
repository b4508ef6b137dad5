#include "line.h"

static_assert(sizeof(DCB) == 28, "DCBlength must be the Win32 record's size");

BOOL configureLine(HANDLE h, DWORD baud)
{
    // Zero means "hang up" to POSIX drivers and nothing to others, and a rate
    // past INT_MAX was a negative jint: no line runs at either.
    if (baud == 0 || baud > 0x7FFFFFFF)
        return FALSE;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    // Without the driver's settings, the fields kept below would be made up:
    // refuse the configuration rather than apply them.
    if (!GetCommState(h, &dcb))
        return FALSE;

    dcb.BaudRate = baud; // the driver alone decides which rates it supports
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // Left on by an earlier program, each of these would break the raw line:
    // received zero bytes dropped, all input dropped while DSR is low, every
    // read and write failing after one line error that nothing ever clears.
    dcb.fNull = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    // fOutxCtsFlow and the rest stay as the driver had them.
    return SetCommState(h, &dcb);
}

namespace {

void setField(DCB &dcb, int field, const LineFormat &f)
{
    switch (field) {
    case FIELD_BAUD:
        dcb.BaudRate = f.baud;
        break;
    case FIELD_DATA_BITS:
        dcb.ByteSize = f.dataBits;
        break;
    case FIELD_PARITY:
        dcb.Parity = f.parity;
        // Checked on receipt only when there is a parity bit to check.
        dcb.fParity = f.parity != NOPARITY;
        break;
    case FIELD_STOP_BITS:
        dcb.StopBits = f.stopBits;
        break;
    case FIELD_LOW_LATENCY:
        dcb.fDummy2 = (dcb.fDummy2 & ~DCB_LOW_LATENCY) | (f.options & OPTION_LOW_LATENCY ? DCB_LOW_LATENCY : 0);
        break;
    case FIELD_RS485:
        // The driver's RTS, raised for each transmission; off it, RTS goes off.
        if (f.options & OPTION_RS485)
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        else if (dcb.fRtsControl == RTS_CONTROL_TOGGLE)
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    case FIELD_FLOW:
        dcb.fOutxCtsFlow = f.flow == FLOW_RTS_CTS;
        // Off the handshake, RTS goes back to off, as a line opens.
        if (f.flow == FLOW_RTS_CTS)
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fOutX = dcb.fInX = f.flow == FLOW_XON_XOFF;
        if (f.flow == FLOW_XON_XOFF) {
            dcb.XonChar = 0x11;
            dcb.XoffChar = 0x13;
            // Windows refuses XON/XOFF without limits; these leave room in any queue.
            if (!dcb.XonLim)
                dcb.XonLim = 2048;
            if (!dcb.XoffLim)
                dcb.XoffLim = 512;
        }
        break;
    }
}

} // namespace

BOOL deviceGone(DWORD error)
{
    // Windows answers a handle whose device was removed with any of these;
    // the termios layer says ERROR_DEVICE_REMOVED.
    return error == ERROR_DEVICE_REMOVED || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_ACCESS_DENIED;
}

namespace {

// The options a record holds, as LineFormat has them.
BYTE optionsOf(const DCB &dcb)
{
    return (BYTE)((dcb.fDummy2 & DCB_LOW_LATENCY ? OPTION_LOW_LATENCY : 0) |
                  (dcb.fRtsControl == RTS_CONTROL_TOGGLE ? OPTION_RS485 : 0));
}

// The first field in which what the driver reports differs from f; 0 for none.
int differingField(const DCB &now, const LineFormat &f)
{
    if (!rateClose(now.BaudRate, f.baud))
        return FIELD_BAUD;
    if (now.ByteSize != f.dataBits)
        return FIELD_DATA_BITS;
    if (now.Parity != f.parity)
        return FIELD_PARITY;
    if (now.StopBits != f.stopBits)
        return FIELD_STOP_BITS;
    if ((now.fOutxCtsFlow != 0) != (f.flow == FLOW_RTS_CTS) || (now.fOutX || now.fInX) != (f.flow == FLOW_XON_XOFF))
        return FIELD_FLOW;
    BYTE missing = (BYTE)(optionsOf(now) ^ f.options);
    return !missing ? 0 : missing & OPTION_LOW_LATENCY ? FIELD_LOW_LATENCY : FIELD_RS485;
}

// A SetCommState that failed as a refusal of what it was given, not as a
// device that has gone or a call that broke.
bool refusal(DWORD error) { return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED; }

} // namespace

int applyFormat(HANDLE h, const LineFormat *f)
{
    DCB was = {};
    was.DCBlength = sizeof was;
    if (!GetCommState(h, &was))
        return -1;
    DCB dcb = was;
    for (int field = FIELD_BAUD; field <= FIELD_RS485; field++)
        setField(dcb, field, *f);
    if (SetCommState(h, &dcb)) {
        // A driver may take a record without a word and not keep all of it
        // (Wine's does): what it reads back says what it has. A field that
        // differs is refused as any other, and the line put back.
        DCB now = {};
        now.DCBlength = sizeof now;
        if (!GetCommState(h, &now))
            return -1;
        int differs = differingField(now, *f);
        if (!differs)
            return 0;
        if (!SetCommState(h, &was) && !refusal(GetLastError()))
            return -1;
        return differs;
    }
    if (!refusal(GetLastError()))
        return -1;
    // Refused: find the field by trying each alone, then put the line back,
    // since the driver may have taken part of the record.
    int refused = FIELD_STOP_BITS;
    for (int field = FIELD_BAUD; field <= FIELD_RS485; field++) {
        DCB one = was;
        setField(one, field, *f);
        if (!SetCommState(h, &one)) {
            if (!refusal(GetLastError()))
                return -1;
            refused = field;
            break;
        }
    }
    if (!SetCommState(h, &was) && !refusal(GetLastError()))
        return -1;
    return refused;
}

BOOL readFormat(HANDLE h, LineFormat *f)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return FALSE;
    f->baud = dcb.BaudRate;
    f->dataBits = dcb.ByteSize;
    f->parity = dcb.Parity;
    f->stopBits = dcb.StopBits;
    f->flow = dcb.fOutxCtsFlow ? FLOW_RTS_CTS : dcb.fOutX || dcb.fInX ? FLOW_XON_XOFF : FLOW_NONE;
    f->options = optionsOf(dcb);
    return TRUE;
}
