// Per-call cost of recc and send through ruvek.dll under Wine, against the
// floor: the same ReadFile or WriteFile on a port opened and set up as the
// library does it, in the same Wine.
//
// usage: wine_bench recc-empty|send raw|lib PORT COUNT
// Prints "MODE WHO NS ns", the median of the rounds' ns per call.
#include "natives.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

const int ROUNDS = 15;

HANDLE raw;
Natives lib;

struct Raw {
    static int recc()
    {
        unsigned char b = 0;
        DWORD n = 0;
        ReadFile(raw, &b, 1, &n, NULL);
        return n ? b : -1;
    }
    static bool send(int b)
    {
        unsigned char c = (unsigned char)b;
        DWORD n = 0;
        return WriteFile(raw, &c, 1, &n, NULL) && n == 1;
    }
};

struct Lib {
    static int recc() { return lib.recc(NULL, NULL); }
    static bool send(int b) { return lib.send(NULL, NULL, b); }
};

double now()
{
    static LARGE_INTEGER freq;
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e9 / (double)freq.QuadPart;
}

template <class P> double measure(bool receive, long count)
{
    std::vector<double> rounds;
    for (int r = 0; r < ROUNDS; r++) {
        long bad = 0;
        double start = now();
        for (long i = 0; i < count; i++)
            bad += receive ? P::recc() != -1 : !P::send((int)i);
        rounds.push_back((now() - start) / (double)count);
        if (bad) {
            fprintf(stderr, receive ? "a byte arrived while none was sent\n" : "send failed\n");
            exit(1);
        }
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: wine_bench recc-empty|send raw|lib PORT COUNT\n");
        return 2;
    }
    bool receive = strcmp(argv[1], "recc-empty") == 0;
    bool viaLib = strcmp(argv[2], "lib") == 0;
    int port = atoi(argv[3]);
    long count = atol(argv[4]);
    double ns;
    if (viaLib) {
        if (!bindNatives(LoadLibraryA("ruvek.dll"), false, &lib) || !lib.init(NULL, NULL, port, 115200)) {
            fprintf(stderr, "cannot open COM%d through ruvek.dll\n", port);
            return 1;
        }
        measure<Lib>(receive, count / 10);
        ns = measure<Lib>(receive, count);
        lib.close(NULL, NULL);
    } else {
        char name[32];
        snprintf(name, sizeof name, "\\\\.\\COM%d", port);
        raw = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        COMMTIMEOUTS polling = {MAXDWORD, 0, 0, 0, 0};
        if (raw == INVALID_HANDLE_VALUE || !GetCommState(raw, &dcb)) {
            fprintf(stderr, "cannot open %s\n", name);
            return 1;
        }
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = dcb.fInX = 0;
        if (!SetCommState(raw, &dcb) || !SetCommTimeouts(raw, &polling)) {
            fprintf(stderr, "cannot set up %s\n", name);
            return 1;
        }
        measure<Raw>(receive, count / 10);
        ns = measure<Raw>(receive, count);
        CloseHandle(raw);
    }
    printf("%s %s %.1f ns\n", argv[1], argv[2], ns);
    return 0;
}
