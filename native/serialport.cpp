// The four native methods of the Java class SerialPort, and the one port
// that they share. The JNIEnv and the receiver are never used.
#include "SerialPort.h"
#include "line.h"

#include <stdio.h>

static_assert(sizeof(jint) == 4, "jint must be 32 bits");

// Another thread may read it while init or close runs on one (a close is
// what frees a send blocked on flow control), so it is atomic: every read sees
// a whole handle, and each call reads it once.
std::atomic<HANDLE> portHandle{0};

// Closes the open port, if any: the close's success flag, or 0 when none was open.
static BOOL closePort(void)
{
    // Cleared before the close, so no call picks up a handle that is going.
    HANDLE h = portHandle.exchange(0);
    return h ? CloseHandle(h) : FALSE;
}

JNIEXPORT jboolean JNICALL Java_SerialPort_init(JNIEnv *, jobject, jint portNumber, jint baud)
{
    // COM10 and above are not DOS device names and open only through the
    // \\.\ namespace, which reaches COM1 to COM9 just the same. Sized for
    // the longest number, INT_MIN.
    char name[sizeof "\\\\.\\COM-2147483648"];
    snprintf(name, sizeof name, "\\\\.\\COM%d", (int)portNumber);

    // Close first: the open is exclusive, so reopening the same port would fail.
    closePort();

    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return JNI_FALSE;
    portHandle = h;

    if (!SetupComm(h, 128, 128) || !configureLine(h, (DWORD)baud)) {
        closePort();
        return JNI_FALSE;
    }
    // Should the driver refuse, its own time-outs stay; the port still works.
    setPollingTimeouts();
    return JNI_TRUE;
}

JNIEXPORT jint JNICALL Java_SerialPort_recc(JNIEnv *, jobject)
{
    HANDLE h = portHandle.load(std::memory_order_relaxed);
    if (!h)
        return -1;
    unsigned char byte = 0;
    DWORD count = 0;
    // Only the count tells whether a byte arrived.
    ReadFile(h, &byte, 1, &count, NULL);
    return count == 1 ? (jint)byte : -1;
}

JNIEXPORT jboolean JNICALL Java_SerialPort_send(JNIEnv *, jobject, jint b)
{
    HANDLE h = portHandle.load(std::memory_order_relaxed);
    if (!h)
        return JNI_FALSE;
    unsigned char byte = (unsigned char)(b & 0xFF);
    DWORD written = 0;
    // A write that ends with nothing written (a time-out the driver kept)
    // reports success, yet the byte was not sent.
    return WriteFile(h, &byte, 1, &written, NULL) && written == 1 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_SerialPort_close(JNIEnv *, jobject)
{
    return closePort() ? JNI_TRUE : JNI_FALSE;
}
