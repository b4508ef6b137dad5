// Loads ruvek.dll the way a JVM does and calls its natives on request, so that
// a Linux-side driver can check them against real (pseudo) serial lines.
//
// Usage: harness DLL. Reads one command a line from stdin, answers one line:
//   init N BAUD   -> init 0|1
//   recc          -> recc VALUE MICROSECONDS
//   send V        -> send 0|1
//   close         -> close 0|1
//   recv N MS     -> recv COUNT HEX   (polls recc until N bytes or MS elapse)
//   sendall       -> sendall OKCOUNT  (sends 0 to 255 in order)
//   bind name|ordinal -> bind 0|1     (ordinal: 1 only when every ordinal
//                                      gives the named function's address)
//   arch          -> arch x86|x64
//   quit
#include <windows.h>

#include <stdio.h>
#include <string.h>

// The JNI layout: JNIEnv* and the receiver first; jboolean is one unsigned byte.
typedef unsigned char(__stdcall *InitFn)(void *, void *, int, int);
typedef int(__stdcall *ReccFn)(void *, void *);
typedef unsigned char(__stdcall *SendFn)(void *, void *, int);
typedef unsigned char(__stdcall *CloseFn)(void *, void *);

struct Natives {
    CloseFn close;
    InitFn init;
    ReccFn recc;
    SendFn send;
};

// A 32-bit JVM asks for the stdcall-decorated names, a 64-bit one for plain ones.
#ifdef _WIN64
static const char *const names[4] = {"Java_SerialPort_close", "Java_SerialPort_init",
                                     "Java_SerialPort_recc", "Java_SerialPort_send"};
#else
static const char *const names[4] = {"_Java_SerialPort_close@8", "_Java_SerialPort_init@16",
                                     "_Java_SerialPort_recc@8", "_Java_SerialPort_send@12"};
#endif

static FARPROC procs[4];

static bool bindNatives(HMODULE dll, bool byOrdinal, Natives *n)
{
    FARPROC got[4];
    for (int i = 0; i < 4; i++) {
        // Ordinals 1 to 4 follow the names' order: close, init, recc, send.
        got[i] = byOrdinal ? GetProcAddress(dll, MAKEINTRESOURCEA(i + 1)) : GetProcAddress(dll, names[i]);
        if (!got[i] || (byOrdinal && got[i] != procs[i]))
            return false;
    }
    n->close = (CloseFn)(void *)got[0];
    n->init = (InitFn)(void *)got[1];
    n->recc = (ReccFn)(void *)got[2];
    n->send = (SendFn)(void *)got[3];
    return true;
}

static double microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER freq)
{
    return (double)(to.QuadPart - from.QuadPart) * 1e6 / (double)freq.QuadPart;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: harness DLL\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        fprintf(stderr, "LoadLibraryA(%s) failed: %lu\n", argv[1], GetLastError());
        return 2;
    }
    for (int i = 0; i < 4; i++) {
        procs[i] = GetProcAddress(dll, names[i]);
        if (!procs[i]) {
            fprintf(stderr, "no export %s\n", names[i]);
            return 2;
        }
    }
    Natives n;
    bindNatives(dll, false, &n);

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char cmd[32] = "";
        int a = 0, b = 0;
        sscanf(line, "%31s %i %i", cmd, &a, &b);
        if (!strcmp(cmd, "init")) {
            printf("init %d\n", n.init(NULL, NULL, a, b));
        } else if (!strcmp(cmd, "recc")) {
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            int v = n.recc(NULL, NULL);
            QueryPerformanceCounter(&t1);
            printf("recc %d %.0f\n", v, microseconds(t0, t1, freq));
        } else if (!strcmp(cmd, "send")) {
            printf("send %d\n", n.send(NULL, NULL, a));
        } else if (!strcmp(cmd, "close")) {
            printf("close %d\n", n.close(NULL, NULL));
        } else if (!strcmp(cmd, "recv")) {
            static char hex[2 * 4096 + 1];
            int count = 0;
            DWORD start = GetTickCount();
            hex[0] = 0;
            while (count < a && count < 4096 && GetTickCount() - start < (DWORD)b) {
                int v = n.recc(NULL, NULL);
                if (v < 0) {
                    Sleep(1);
                    continue;
                }
                snprintf(hex + 2 * count, 3, "%02x", (unsigned)v);
                count++;
            }
            printf("recv %d %s\n", count, hex);
        } else if (!strcmp(cmd, "sendall")) {
            int ok = 0;
            for (int v = 0; v < 256; v++)
                ok += n.send(NULL, NULL, v) ? 1 : 0;
            printf("sendall %d\n", ok);
        } else if (!strcmp(cmd, "bind")) {
            char how[32] = "";
            sscanf(line, "%*s %31s", how);
#ifdef _WIN64
            // The 64-bit DLL's ordinals are not part of its interface.
            bool ok = !strcmp(how, "name") && bindNatives(dll, false, &n);
#else
            bool ok = bindNatives(dll, !strcmp(how, "ordinal"), &n);
#endif
            printf("bind %d\n", ok ? 1 : 0);
        } else if (!strcmp(cmd, "arch")) {
            printf("arch %s\n", sizeof(void *) == 8 ? "x64" : "x86");
        } else if (!strcmp(cmd, "quit")) {
            break;
        } else {
            printf("error unknown command %s\n", cmd);
        }
        fflush(stdout);
    }
    return 0;
}
