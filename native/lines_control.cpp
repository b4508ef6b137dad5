// The named API's natives that set and read a line (the Java class
// ruvek.LineNatives): its format, its modem lines, break, drain and purge.
// Each finds its line through the table in lines.cpp; a line that a cancel
// is closing answers none of them.
#include "lines.h"

using namespace ruvek_lines;

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_setFormat(JNIEnv *, jclass, jlong handle, jint baud, jint dataBits,
                                                        jint parity, jint stopBits, jint flow, jint options)
{
    // The Java side checks each value; these bounds keep a bad one from the driver all the same.
    LineFormat f;
    if (!formatOf(baud, dataBits, parity, stopBits, flow, options, &f))
        return failure(ERROR_INVALID_PARAMETER);
    return onLine(handle, [&](Line &l) {
        int refused = applyFormat(l.port, &f);
        return refused < 0 ? lineFailure(l, GetLastError()) : refused;
    });
}

JNIEXPORT jlong JNICALL Java_ruvek_LineNatives_getFormat(JNIEnv *, jclass, jlong handle)
{
    LineFormat f;
    jint error;
    Line *l = usable(handle, &error);
    if (!l)
        return error;
    if (!readFormat(l->port, &f))
        return lineFailure(*l, GetLastError());
    // Packed into one positive number, so that no array need cross JNI.
    return (jlong)f.baud | (jlong)f.dataBits << 32 | (jlong)f.parity << 40 | (jlong)f.stopBits << 48 |
           (jlong)f.flow << 56 | (jlong)f.options << 60;
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_escape(JNIEnv *, jclass, jlong handle, jint function)
{
    if (function < SETRTS || function > CLRDTR)
        return failure(ERROR_INVALID_PARAMETER);
    return onLine(handle, [&](Line &l) {
        return EscapeCommFunction(l.port, (DWORD)function) ? 0 : lineFailure(l, GetLastError());
    });
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_modemStatus(JNIEnv *, jclass, jlong handle)
{
    return onLine(handle, [](Line &l) {
        DWORD status = 0;
        return GetCommModemStatus(l.port, &status) ? (jint)(status & 0xF0) : lineFailure(l, GetLastError());
    });
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_sendBreak(JNIEnv *, jclass, jlong handle, jint ms)
{
    if (ms < 0)
        return failure(ERROR_INVALID_PARAMETER);
    return onLine(handle, [&](Line &l) {
        if (!SetCommBreak(l.port))
            return lineFailure(l, GetLastError());
        Sleep((DWORD)ms);
        // The line must not stay in break, whatever the error was.
        return ClearCommBreak(l.port) ? 0 : lineFailure(l, GetLastError());
    });
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_drain(JNIEnv *, jclass, jlong handle)
{
    return onLine(handle, [](Line &l) { return FlushFileBuffers(l.port) ? 0 : lineFailure(l, GetLastError()); });
}

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_purge(JNIEnv *, jclass, jlong handle, jint flags)
{
    if (flags & ~(jint)(PURGE_RXCLEAR | PURGE_TXCLEAR))
        return failure(ERROR_INVALID_PARAMETER);
    return onLine(handle, [&](Line &l) {
        return PurgeComm(l.port, (DWORD)flags) ? 0 : lineFailure(l, GetLastError());
    });
}
