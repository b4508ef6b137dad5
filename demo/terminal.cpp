// A Windows twin of the jar's terminal (ruvek.terminal.SerialTerminal), for showing ruvek.dll at work
// without a JVM: it loads the DLL as a JVM would, binds the four natives by
// their exported names and calls them with the JNI argument layout. It copies
// standard input to the port and the port to standard output, and at the end
// of input waits until the port has been quiet for LINGER_MS.
//
// usage: ruvek-terminal PORT BAUD [LINGER_MS]
#include "natives.h"

#include <stdio.h>
#include <stdlib.h>

static Natives port;

// Writes what has arrived to standard output; true when anything had.
static bool drain(HANDLE out)
{
    bool any = false;
    for (int b; (b = port.recc(NULL, NULL)) >= 0; any = true) {
        unsigned char byte = (unsigned char)b;
        DWORD done;
        WriteFile(out, &byte, 1, &done, NULL);
    }
    return any;
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: ruvek-terminal PORT BAUD [LINGER_MS]\n");
        return 2;
    }
    int number = atoi(argv[1]), baud = atoi(argv[2]);
    DWORD linger = argc == 4 ? (DWORD)atoi(argv[3]) : 500;

    if (!bindNatives(LoadLibraryA("ruvek.dll"), false, &port)) {
        fprintf(stderr, "cannot load ruvek.dll and its four natives\n");
        return 1;
    }
    if (!port.init(NULL, NULL, number, baud)) {
        fprintf(stderr, "cannot open COM%d at %d baud\n", number, baud);
        return 1;
    }

    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    char buf[4096];
    DWORD got;
    bool sent = true;
    while (sent && ReadFile(in, buf, sizeof buf, &got, NULL) && got > 0) {
        for (DWORD i = 0; i < got && sent; i++)
            sent = port.send(NULL, NULL, (unsigned char)buf[i]);
        drain(out);
    }
    DWORD quietSince = GetTickCount();
    while (GetTickCount() - quietSince < linger) {
        if (drain(out))
            quietSince = GetTickCount();
        else
            Sleep(1);
    }
    port.close(NULL, NULL);
    if (!sent) {
        fprintf(stderr, "writing to COM%d failed\n", number);
        return 1;
    }
    return 0;
}
