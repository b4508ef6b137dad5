// What the unit tests that start threads or processes need to know of the
// machine they run on.
#ifndef RUVEK_TESTS_THREADS_H
#define RUVEK_TESTS_THREADS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

// Debian's qemu-i386 (7.2) hangs in a second thread's start, and in a child
// of fork: where the i386 tests run under it, the tests that need either skip.
#define SKIP_WHERE_THREADS_HANG()                                                              \
    do {                                                                                       \
        const char *emulator = std::getenv("RUVEK_EMULATOR");                                  \
        if (emulator && std::strcmp(emulator, "qemu-i386") == 0)                               \
            GTEST_SKIP() << "needs a second thread or process, which qemu-i386 never starts"; \
    } while (0)

#endif
