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

#endif
