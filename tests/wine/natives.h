// ruvek.dll's four natives as a JVM sees them, for the Windows programs that
// load the DLL without one: the JNI argument layout (JNIEnv* and receiver
// first, both ignored by ruvek), jboolean as one unsigned byte, and the names
// that a 32-bit JVM (stdcall-decorated) or a 64-bit JVM (plain) asks for.
#ifndef RUVEK_NATIVES_H
#define RUVEK_NATIVES_H

#include <windows.h>

typedef unsigned char(__stdcall *CloseFn)(void *, void *);
typedef unsigned char(__stdcall *InitFn)(void *, void *, int, int);
typedef int(__stdcall *ReccFn)(void *, void *);
typedef unsigned char(__stdcall *SendFn)(void *, void *, int);

struct Natives {
    CloseFn close;
    InitFn init;
    ReccFn recc;
    SendFn send;
};

// In the order of the 32-bit DLL's ordinals 1 to 4.
#ifdef _WIN64
static const char *const nativeNames[4] = {"Java_SerialPort_close", "Java_SerialPort_init",
                                           "Java_SerialPort_recc", "Java_SerialPort_send"};
#else
static const char *const nativeNames[4] = {"_Java_SerialPort_close@8", "_Java_SerialPort_init@16",
                                           "_Java_SerialPort_recc@8", "_Java_SerialPort_send@12"};
#endif

// A function of the DLL as the signature it really has. The detour through
// void(*)(void) is how GCC is told that the cast is intended.
template <class F> F asNative(FARPROC p)
{
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(p));
}

// Binds the four by name, or by ordinal; false when any is missing.
static inline bool bindNatives(HMODULE dll, bool byOrdinal, Natives *n)
{
    FARPROC got[4];
    for (int i = 0; i < 4; i++) {
        got[i] = dll ? GetProcAddress(dll, byOrdinal ? MAKEINTRESOURCEA(i + 1) : nativeNames[i]) : NULL;
        if (!got[i])
            return false;
    }
    n->close = asNative<CloseFn>(got[0]);
    n->init = asNative<InitFn>(got[1]);
    n->recc = asNative<ReccFn>(got[2]);
    n->send = asNative<SendFn>(got[3]);
    return true;
}

#endif
