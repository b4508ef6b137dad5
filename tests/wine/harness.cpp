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
#include "natives.h"

#include <stdio.h>
#include <string.h>

// Binds by ordinal only when every ordinal gives the function of that name.
static bool bindChecked(HMODULE dll, bool byOrdinal, const Natives &byName, Natives *n)
{
    Natives got;
    if (!bindNatives(dll, byOrdinal, &got) || got.close != byName.close || got.init != byName.init ||
        got.recc != byName.recc || got.send != byName.send)
        return false;
    *n = got;
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
    Natives byName, n;
    if (!bindNatives(dll, false, &byName)) {
        fprintf(stderr, "%s lacks one of the four natives\n", argv[1]);
        return 2;
    }
    n = byName;

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
            bool ok = !strcmp(how, "name") && bindChecked(dll, false, byName, &n);
#else
            bool ok = bindChecked(dll, !strcmp(how, "ordinal"), byName, &n);
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
