// A Windows twin of the jar's SerialTerminal, for showing ruvek.dll at work
// without a JVM: it loads the DLL as a JVM would, binds the four natives by
// their exported names and calls them with the JNI argument layout. It copies
// standard input to the port and the port to standard output, and at the end
// of input waits until the port has been quiet for LINGER_MS.
//
// usage: ruvek-terminal PORT BAUD [LINGER_MS]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

typedef unsigned char(__stdcall *InitFn)(void *, void *, int, int);
typedef int(__stdcall *ReccFn)(void *, void *);
typedef unsigned char(__stdcall *SendFn)(void *, void *, int);
typedef unsigned char(__stdcall *CloseFn)(void *, void *);

#ifdef _WIN64
#define NATIVE(name, args) "Java_SerialPort_" name
#else
#define NATIVE(name, args) "_Java_SerialPort_" name "@" args
#endif

// A function of the DLL by name, or null. The detour through void(*)(void)
// is how GCC is told that the cast to the real signature is intended.
template <class F> static F bind(HMODULE dll, const char *name)
{
    return dll ? reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(GetProcAddress(dll, name))) : NULL;
}

static ReccFn recc;
static void *port_env, *port_obj; // the JNIEnv and receiver, which ruvek ignores

// Writes what has arrived to standard output; true when anything had.
static bool drain(HANDLE out)
{
    bool any = false;
    for (int b; (b = recc(port_env, port_obj)) >= 0; any = true) {
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

    HMODULE dll = LoadLibraryA("ruvek.dll");
    InitFn init = bind<InitFn>(dll, NATIVE("init", "16"));
    recc = bind<ReccFn>(dll, NATIVE("recc", "8"));
    SendFn send = bind<SendFn>(dll, NATIVE("send", "12"));
    CloseFn close = bind<CloseFn>(dll, NATIVE("close", "8"));
    if (!init || !recc || !send || !close) {
        fprintf(stderr, "cannot load ruvek.dll and its four natives\n");
        return 1;
    }
    if (!init(port_env, port_obj, number, baud)) {
        fprintf(stderr, "cannot open COM%d at %d baud\n", number, baud);
        return 1;
    }

    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    char buf[4096];
    DWORD got;
    bool sent = true;
    while (sent && ReadFile(in, buf, sizeof buf, &got, NULL) && got > 0) {
        for (DWORD i = 0; i < got && sent; i++)
            sent = send(port_env, port_obj, (unsigned char)buf[i]);
        drain(out);
    }
    DWORD quietSince = GetTickCount();
    while (GetTickCount() - quietSince < linger) {
        if (drain(out))
            quietSince = GetTickCount();
        else
            Sleep(1);
    }
    close(port_env, port_obj);
    if (!sent) {
        fprintf(stderr, "writing to COM%d failed\n", number);
        return 1;
    }
    return 0;
}
