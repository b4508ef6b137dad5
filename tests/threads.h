// What the unit tests that start threads or processes need to know of the
// machine they run on.
#ifndef RUVEK_TESTS_THREADS_H
#define RUVEK_TESTS_THREADS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

// Debian's qemu-i386 (7.2) hangs in a second thread's start, and in a child
// of fork, on the cross compiler's libc (not on Debian's own i386 libraries,
// which tests/cross/run uses where scripts/target-jres has fetched them):
// there the tests that need either skip.
#define SKIP_WHERE_THREADS_HANG()                                                                    \
    do {                                                                                             \
        const char *emulator = std::getenv("RUVEK_EMULATOR");                                        \
        const char *libs = std::getenv("RUVEK_TARGET_LIBS");                                         \
        if (emulator && std::strcmp(emulator, "qemu-i386") == 0 && !(libs && !std::strcmp(libs, "debian"))) \
            GTEST_SKIP() << "needs a second thread or process, which qemu-i386 never starts on the cross " \
                            "compiler's libc (scripts/target-jres fetches Debian's)";             \
    } while (0)

#endif
