/* The line format that both libraries apply to a freshly opened port, and
   the polling time-outs of SerialPort's one port. */
#ifndef RUVEK_LINE_H
#define RUVEK_LINE_H

#include "win32.h"

/* SerialPort's one open port, zero when none; owned by serialport.cpp, and
   used only while init or close runs. */
extern HANDLE portHandle;

/* Sets the baud rate, 8N1, no software or DSR handshake, DTR and RTS off,
   no null stripping, DSR sensitivity or abort on error; keeps every other
   setting the driver reports. Non-zero when the driver accepts; a rate of 0
   or above INT_MAX is refused without asking it. */
BOOL configureLine(HANDLE h, DWORD baud);

/* Makes a one-byte read on portHandle return at once and gives writes no
   time-out. Non-zero when the driver accepts. In serialport.cpp, since
   the named API's library has no portHandle. */
BOOL setPollingTimeouts(void);

/* A line's format as the named API sets and reads it. Parity and stop bits
   take the DCB's values (NOPARITY..SPACEPARITY, ONESTOPBIT..TWOSTOPBITS);
   options are OPTION_ bits. */
enum { FLOW_NONE, FLOW_RTS_CTS, FLOW_XON_XOFF };
enum { OPTION_LOW_LATENCY = 1, OPTION_RS485 = 2 };
typedef struct {
    DWORD baud;
    BYTE dataBits, parity, stopBits, flow, options;
} LineFormat;

/* The fields of a format, as applyFormat names the one a driver refused. */
enum { FIELD_BAUD = 1, FIELD_DATA_BITS, FIELD_PARITY, FIELD_STOP_BITS, FIELD_FLOW, FIELD_LOW_LATENCY, FIELD_RS485 };

/* Low latency has no field in Win32's record: a layer that has it keeps it
   in the first of the record's reserved bits, fDummy2's lowest. Windows
   neither takes nor reports that bit, so there it reads back off, and
   applyFormat refuses it. RS-485 is RTS_CONTROL_TOGGLE. */
#define DCB_LOW_LATENCY 1u
#ifndef RTS_CONTROL_TOGGLE
#define RTS_CONTROL_TOGGLE 3
#endif

/* Applies f, keeping every other setting the driver reports: 0 when the
   driver took it all. Otherwise the field it refused (the first that it
   refuses alone, else the stop bits, whose sense hangs on the data bits),
   with the line set back as it was; -1, with the error in GetLastError,
   when the driver's settings can't be read or a call fails other than as
   a refusal (the device has gone). DTR stays as it was; RTS too, but under
   RTS/CTS, where the handshake has it. */
int applyFormat(HANDLE h, const LineFormat *f);

/* Whether a real rate is close enough to the one asked for a receiver at the
   far end to take it: within 3 %. A driver may report the rate its divisor
   makes, not the one asked. */
static inline BOOL rateClose(DWORD real, DWORD asked)
{
    unsigned long long off = real > asked ? real - asked : asked - real;
    return off * 100 <= (unsigned long long)asked * 3;
}

/* Whether a call's error says the device has gone: a USB adapter pulled out
   while its port was open, on Windows or through a layer. */
BOOL deviceGone(DWORD error);

/* The format that the driver applies now; FALSE when it says nothing. */
BOOL readFormat(HANDLE h, LineFormat *f);

#endif
