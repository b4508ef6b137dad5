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
