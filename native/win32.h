/*
 * The Win32 functions and records that the core is written against.
 *
 * On Windows they are kernel32's. Elsewhere a layer of this project provides
 * the same functions under the same names, picked at link time: a termios
 * layer for the real library, a recording fake for the unit tests.
 */
#ifndef RUVEK_WIN32_H
#define RUVEK_WIN32_H

#ifdef _WIN32
#include <windows.h>
#else
#include <stdint.h>

typedef void *HANDLE;
typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;

#define FALSE 0
#define TRUE 1
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define MAXDWORD 0xFFFFFFFFu
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define MS_CTS_ON 0x10u
#define MS_DSR_ON 0x20u
#define MS_RING_ON 0x40u
#define MS_RLSD_ON 0x80u
#define PURGE_TXABORT 0x1u
#define PURGE_RXABORT 0x2u
#define PURGE_TXCLEAR 0x4u
#define PURGE_RXCLEAR 0x8u
#define ERROR_NOT_SUPPORTED 50u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_BAD_COMMAND 22u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_DEVICE_REMOVED 1617u
#define ERROR_NOT_FOUND 1168u
#define EV_RXCHAR 0x0001u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_TXEMPTY 0x0004u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define ERROR_SUCCESS 0
#define ERROR_NO_MORE_ITEMS 259u

typedef int32_t LONG;
typedef struct ruvek_hkey *HKEY;
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_NOTIFY 0x0010u
#define REG_DWORD 4u
#define REG_NOTIFY_CHANGE_NAME 0x1u
#define REG_NOTIFY_CHANGE_LAST_SET 0x4u
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000u

/* Same layout as the Windows SDK's record: 28 bytes. */
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

/* Same layout as the Windows SDK's records. */
typedef struct _OVERLAPPED {
    uintptr_t Internal;     /* the status of the transfer */
    uintptr_t InternalHigh; /* the bytes it moved */
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED;

typedef struct _COMSTAT {
    DWORD fFlags;   /* the SDK's eight flag bits, unused here */
    DWORD cbInQue;  /* bytes received and not yet read */
    DWORD cbOutQue; /* bytes written and not yet sent */
} COMSTAT;

#ifdef __cplusplus
extern "C" {
#endif

/* Security attributes and templates are never used: always null. A port
   opened with FILE_FLAG_OVERLAPPED takes an OVERLAPPED record in ReadFile
   and WriteFile; one opened without takes none. */
HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode, void *security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL ReadFile(HANDLE h, void *buffer, DWORD toRead, DWORD *read, void *overlapped);
BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped);
BOOL CloseHandle(HANDLE h);
BOOL GetCommState(HANDLE h, DCB *dcb);
BOOL SetCommState(HANDLE h, DCB *dcb);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts);
/* Ends the I/O that other threads have in progress on h: all of it without a
   record, else the transfer or event wait that the record names. */
BOOL CancelIoEx(HANDLE h, void *overlapped);
void Sleep(DWORD milliseconds);
/* Why the calling thread's last call failed: an ERROR_* code. */
DWORD GetLastError(void);
/* An unnamed event, with no security attributes, for OVERLAPPED.hEvent. */
HANDLE CreateEventA(void *security, BOOL manualReset, BOOL initialState, const char *name);
/* The outcome of an overlapped transfer; waits for its end when `wait`. */
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait);
/* Clears a line error, if any; stat, when given, gets the queues' lengths. */
BOOL ClearCommError(HANDLE h, DWORD *errors, COMSTAT *stat);
/* Raises or lowers DTR or RTS: SETDTR, CLRDTR, SETRTS or CLRRTS. */
BOOL EscapeCommFunction(HANDLE h, DWORD function);
/* The modem's input lines: MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON. */
BOOL GetCommModemStatus(HANDLE h, DWORD *status);
/* Holds the line in the break state, and ends it. */
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);
/* Discards what waits to be read (PURGE_RXCLEAR) or sent (PURGE_TXCLEAR). */
BOOL PurgeComm(HANDLE h, DWORD flags);
/* Returns once every byte written has been sent. */
BOOL FlushFileBuffers(HANDLE h);

/* The line's events: which EV_* bits WaitCommEvent waits for. */
BOOL SetCommMask(HANDLE h, DWORD mask);
/* Waits for one of the mask's events; *happened gets those that came (0
   when SetCommMask changed the mask meanwhile). On a port opened for
   overlapped I/O it answers ERROR_IO_PENDING, and GetOverlappedResult on
   the same record waits; CancelIoEx with the record ends that wait. */
BOOL WaitCommEvent(HANDLE h, DWORD *happened, OVERLAPPED *overlapped);

/* Signals an event; WaitForMultipleObjects answers WAIT_OBJECT_0 + the index
   of the first of its events that is signalled (resetting an auto-reset one),
   WAIT_TIMEOUT, or WAIT_FAILED. */
BOOL SetEvent(HANDLE h);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds);

/* The registry, as far as watching HKLM\HARDWARE\DEVICEMAP\SERIALCOMM goes:
   a change notice signals the event once, and is asked for again after it.
   They answer ERROR_SUCCESS or the error. */
LONG RegOpenKeyExA(HKEY parent, const char *subKey, DWORD options, DWORD access, HKEY *key);
LONG RegNotifyChangeKeyValue(HKEY key, BOOL subtree, DWORD filter, HANDLE event, BOOL async);
LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, BYTE *data, DWORD *size);
LONG RegCloseKey(HKEY key);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#endif
