// The named API's message native: a read that ends at a gap with no byte,
// as Modbus RTU ends its frames, timed by the system: the port's interval
// time-out, and each wait for the next byte a read time-out of the gap.
#include "lines.h"

using namespace ruvek_lines;

namespace {

// Hands got bytes of l.in to Java at b[off]: false when the copy failed.
bool give(JNIEnv *env, Line &l, jbyteArray b, jint off, jint got)
{
    env->SetByteArrayRegion(b, off, got, reinterpret_cast<jbyte *>(l.in));
    return !env->ExceptionCheck();
}

} // namespace

JNIEXPORT jint JNICALL Java_ruvek_LineNatives_readGap(JNIEnv *env, jclass, jlong handle, jbyteArray b, jint off,
                                                      jint len, jint gapMs, jint firstWaitMs)
{
    jint error;
    Line *line = usable(handle, &error);
    if (!line)
        return error;
    Line &l = *line;
    if (len <= 0 || gapMs <= 0 || firstWaitMs < 0 || !inside(env, b, off, len))
        return failure(ERROR_INVALID_PARAMETER);
    jint got = 0;
    bool woken = false;
    if (firstWaitMs == 0) {
        // One read does it all, unless the message outgrows a chunk.
        if (!setReadWait(l, 0, (DWORD)gapMs))
            return failure(GetLastError());
        DWORD asked = atMost(len, CHUNK);
        got = transfer(l, true, l.in, asked, &woken);
        if (got <= 0)
            return got; // 0: woken before a byte came
        if (!give(env, l, b, off, got))
            return failure(ERROR_INVALID_PARAMETER);
        if ((DWORD)got < asked && !woken)
            return got;
    } else {
        // The first byte waited for as long as asked; what came with it taken too.
        if (!setReadWait(l, (DWORD)firstWaitMs))
            return failure(GetLastError());
        jint ready = waiting(l);
        got = transfer(l, true, l.in, ready > 0 ? atMost(ready, atMost(len, CHUNK)) : 1, &woken);
        if (got <= 0)
            return got; // 0: the wait passed, or woken
        if (!give(env, l, b, off, got))
            return failure(ERROR_INVALID_PARAMETER);
    }
    // The rest of the message: each wait for what follows lasts the gap. A
    // wake now ends nothing: the message is the caller's, and near its end.
    if (!setReadWait(l, (DWORD)gapMs))
        return failure(GetLastError());
    while (got < len) {
        jint ready = waiting(l);
        if (ready < 0)
            return ready;
        DWORD room = atMost(len - got, CHUNK);
        jint n = transfer(l, true, l.in, ready > 0 ? atMost(ready, room) : 1, &woken);
        if (n < 0)
            return n;
        if (n == 0 && !woken)
            break; // the gap
        if (n > 0 && !give(env, l, b, off + got, n))
            return failure(ERROR_INVALID_PARAMETER);
        got += n;
    }
    return got;
}
