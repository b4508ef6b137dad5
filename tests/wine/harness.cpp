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
//   race N        -> race FOREIGN      (N rounds of init, close and opening
//                                      files, while a thread polls recc: the
//                                      bytes it read, of which none was sent)
//   sendblock     -> sendblock CLOSE MS (a thread sends until a send blocks on
//                                      the full line; then close, timed)
//   sendjoin      -> sendjoin ENDED LAST (waits 10 s for that thread; its last send)
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

// The threads that call the natives beside the main one.
static Natives threadNatives;
static volatile LONG stopRacing, foreign;

static DWORD WINAPI pollRecc(void *)
{
    while (!stopRacing)
        if (threadNatives.recc(NULL, NULL) >= 0)
            InterlockedIncrement(&foreign);
    return 0;
}

// The sender's progress: the tick at which its send in progress began (0
// when none is), and the result of its last send.
static volatile LONG sendStarted, lastSend = -1, sends;

static DWORD WINAPI sendUntilRefused(void *)
{
    for (;;) {
        InterlockedExchange(&sendStarted, (LONG)(GetTickCount() | 1));
        unsigned char ok = threadNatives.send(NULL, NULL, 0x55);
        InterlockedExchange(&sendStarted, 0);
        InterlockedExchange(&lastSend, ok);
        InterlockedIncrement(&sends);
        if (!ok)
            return 0;
    }
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
    HANDLE sender = NULL;

    // Files for the race to open: a call that reached one would read 'F'.
    char files[8][MAX_PATH];
    for (int i = 0; i < 8; i++) {
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        snprintf(files[i], sizeof files[i], "%sruvek-race-%lu-%d", dir, GetCurrentProcessId(), i);
        HANDLE f = CreateFileA(files[i], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD done;
        WriteFile(f, "FFFFFFFFFFFFFFFF", 16, &done, NULL);
        CloseHandle(f);
    }

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
        } else if (!strcmp(cmd, "race")) {
            threadNatives = n;
            stopRacing = foreign = 0;
            HANDLE poller = CreateThread(NULL, 0, pollRecc, NULL, 0, NULL);
            for (int round = 0; round < a; round++) {
                n.init(NULL, NULL, b, 9600);
                n.close(NULL, NULL);
                // The values just freed go to these at once.
                HANDLE opened[8];
                for (int i = 0; i < 8; i++)
                    opened[i] = CreateFileA(files[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
                for (int i = 0; i < 8; i++)
                    if (opened[i] != INVALID_HANDLE_VALUE)
                        CloseHandle(opened[i]);
            }
            stopRacing = 1;
            WaitForSingleObject(poller, INFINITE);
            CloseHandle(poller);
            printf("race %ld\n", foreign);
        } else if (!strcmp(cmd, "sendblock")) {
            threadNatives = n;
            lastSend = -1;
            sender = CreateThread(NULL, 0, sendUntilRefused, NULL, 0, NULL);
            DWORD start = GetTickCount();
            for (;;) {
                LONG began = sendStarted;
                if (began && (LONG)(GetTickCount() - (DWORD)began) > 300)
                    break; // a send has waited for the line for a while
                if (GetTickCount() - start > 20000)
                    break;
                Sleep(10);
            }
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            int closed = n.close(NULL, NULL);
            QueryPerformanceCounter(&t1);
            printf("sendblock %d %.0f\n", closed, microseconds(t0, t1, freq) / 1000);
        } else if (!strcmp(cmd, "sendjoin")) {
            bool ended = sender && WaitForSingleObject(sender, 10000) == WAIT_OBJECT_0;
            printf("sendjoin %d %ld\n", ended ? 1 : 0, lastSend);
        } else if (!strcmp(cmd, "arch")) {
            printf("arch %s\n", sizeof(void *) == 8 ? "x64" : "x86");
        } else if (!strcmp(cmd, "quit")) {
            break;
        } else {
            printf("error unknown command %s\n", cmd);
        }
        fflush(stdout);
    }
    for (int i = 0; i < 8; i++)
        DeleteFileA(files[i]);
    return 0;
}
