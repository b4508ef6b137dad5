// The termios layer's line events on real pseudo-terminals: each arrival told
// once, output empty after a write, waits ended by their record's cancel, by
// the close and by a hang-up, and SIGIO left alone where no line is asked for.
#include "threads.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TermiosEvents : public ::testing::Test {
protected:
    int master = -1;
    HANDLE h = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    DWORD happened = 0;

    void SetUp() override
    {
        int slave;
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.fOutX = dcb.fInX = 0;
        ASSERT_TRUE(SetCommState(h, &dcb));
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        if (master >= 0)
            close(master);
    }

    // One whole wait: TRUE with `happened`, or FALSE with the error in GetLastError.
    BOOL waitOnce()
    {
        happened = 0;
        ov = OVERLAPPED{};
        if (WaitCommEvent(h, &happened, &ov))
            return TRUE;
        if (GetLastError() != ERROR_IO_PENDING)
            return FALSE;
        DWORD n = 0;
        return GetOverlappedResult(h, &ov, &n, TRUE);
    }
    void masterWrites(const char *bytes) { ASSERT_EQ(write(master, bytes, strlen(bytes)), (ssize_t)strlen(bytes)); }
};

TEST_F(TermiosEvents, EachArrivalIsToldOnceAndWhatWaitsAtTheMaskIsToldToo)
{
    SKIP_WHERE_THREADS_HANG();
    masterWrites("a");
    COMSTAT stat = {};
    DWORD errors = 0;
    for (auto start = Clock::now(); stat.cbInQue == 0 && msSince(start) < 10000; usleep(1000))
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    ASSERT_EQ(stat.cbInQue, 1u);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(waitOnce());
    EXPECT_EQ(happened, EV_RXCHAR) << "a byte waiting when the mask was set";
    // Unread, it is not told again: the next wait ends at the next arrival.
    std::thread later([&] {
        usleep(300000);
        masterWrites("b");
    });
    auto start = Clock::now();
    ASSERT_TRUE(waitOnce());
    EXPECT_EQ(happened, EV_RXCHAR);
    EXPECT_GE(msSince(start), 250) << "told again of the byte already told";
    later.join();
    errors = 1;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 2u) << "the wait takes no byte";
    EXPECT_EQ(errors, 0u);
}

TEST_F(TermiosEvents, OutputEmptyIsToldOnceTheWrittenBytesHaveLeft)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY | EV_RXCHAR));
    std::thread writer([&] {
        usleep(200000);
        OVERLAPPED w = {};
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, "xyz", 3, nullptr, &w));
        EXPECT_TRUE(GetOverlappedResult(h, &w, &n, TRUE));
        EXPECT_EQ(n, 3u);
    });
    ASSERT_TRUE(waitOnce());
    EXPECT_EQ(happened, EV_TXEMPTY);
    writer.join();
    char got[8];
    EXPECT_EQ(read(master, got, sizeof got), 3);
}

TEST_F(TermiosEvents, ARecordsCancelEndsItsWaitAloneAndTheCloseEndsAnyWait)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR));
    // Begun, then cancelled before it waits: the wait still ends.
    happened = 0;
    ov = OVERLAPPED{};
    ASSERT_FALSE(WaitCommEvent(h, &happened, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIoEx(h, &ov));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    // A read's cancel is not the event wait's.
    OVERLAPPED readRecord = {};
    std::thread canceller([&] {
        usleep(200000);
        CancelIoEx(h, &readRecord);
        usleep(200000);
        CancelIoEx(h, &ov);
    });
    auto start = Clock::now();
    EXPECT_FALSE(waitOnce());
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_GE(msSince(start), 350) << "a read's cancel ended the event wait";
    canceller.join();
    // The close, from another thread, ends a wait and frees the port.
    std::thread closer([&] {
        usleep(200000);
        EXPECT_TRUE(CloseHandle(h));
    });
    EXPECT_FALSE(waitOnce());
    closer.join();
    h = INVALID_HANDLE_VALUE;
    struct sigaction now;
    ASSERT_EQ(sigaction(SIGIO, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "SIGIO taken for a device without modem lines";
}

TEST_F(TermiosEvents, AHangUpEndsTheWaitAsTheDeviceGone)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_RXCHAR));
    std::thread hangup([&] {
        usleep(200000);
        close(master);
    });
    EXPECT_FALSE(waitOnce());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    hangup.join();
    master = -1;
    EXPECT_FALSE(SetCommMask(h, 0x8000)) << "a bit that is no event";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace
