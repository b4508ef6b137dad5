// The four native methods over the recording fake: what they ask of Win32,
// what they return, and that no path leaves a handle open.
#include "SerialPort.h"
#include "fake_win32.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

namespace {

bool init(jint port, jint baud = 9600) { return Java_SerialPort_init(nullptr, nullptr, port, baud); }
jint recc() { return Java_SerialPort_recc(nullptr, nullptr); }
bool send(jint b) { return Java_SerialPort_send(nullptr, nullptr, b); }
bool close() { return Java_SerialPort_close(nullptr, nullptr); }

std::vector<unsigned char> bytes(const DCB &dcb)
{
    std::vector<unsigned char> v(sizeof dcb);
    std::memcpy(v.data(), &dcb, sizeof dcb);
    return v;
}

// A driver whose every setting differs from what init wants, and whose
// other flags are all on and characters all non-zero.
DCB driverDcb()
{
    DCB d = {};
    d.BaudRate = 300;
    d.ByteSize = 7;
    d.Parity = 2;
    d.StopBits = 2;
    d.fBinary = 0;
    d.fParity = 1;
    d.fOutxDsrFlow = 1;
    d.fDtrControl = 2;
    d.fOutX = 1;
    d.fInX = 1;
    d.fRtsControl = 3;

    d.fOutxCtsFlow = 1;
    d.fDsrSensitivity = 1;
    d.fTXContinueOnXoff = 1;
    d.fErrorChar = 1;
    d.fNull = 1;
    d.fAbortOnError = 1;
    d.fDummy2 = 0x1FFFF;
    d.wReserved = 0x1234;
    d.XonLim = 0x2222;
    d.XoffLim = 0x3333;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = '\n';
    d.wReserved1 = 0x5555;
    return d;
}

class Core : public ::testing::Test {
protected:
    void SetUp() override
    {
        close();
        fake.reset();
        fake.devices = {"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM10"};
        fake.reported = driverDcb();
    }

    void TearDown() override
    {
        close();
        EXPECT_TRUE(fake.handles.empty()) << "a handle is still open after close";
        EXPECT_EQ(fake.misuse, 0) << "a call on a handle that was not open, or with bad arguments";
    }

    int closes() const { return (int)std::count(fake.calls.begin(), fake.calls.end(), "CloseHandle"); }

    // A send on COM1 stuck where the system can't cancel it, and the port
    // closed under it: the send's result, once the test lets it end.
    std::future<bool> sendStuckInAClose()
    {
        EXPECT_TRUE(init(1));
        fake.blockWrites = fake.uncancellable = true;
        auto sent = std::async(std::launch::async, [] { return send('x'); });
        EXPECT_TRUE(fake.waitBlocked(1));
        EXPECT_TRUE(close());
        return sent;
    }
};

TEST_F(Core, OpensTheDeviceExclusivelyWithSmallQueuesThenConfiguresIt)
{
    ASSERT_TRUE(init(1));
    ASSERT_EQ(fake.opens.size(), 1u);
    const auto &open = fake.opens[0];
    EXPECT_EQ(open.name, "\\\\.\\COM1");
    EXPECT_EQ(open.access, 0xC0000000u);
    EXPECT_EQ(open.shareMode, 0u);
    EXPECT_FALSE(open.security);
    EXPECT_EQ(open.creation, 3u);
    EXPECT_EQ(open.flags, 0u);
    EXPECT_FALSE(open.templateFile);
    EXPECT_EQ(fake.inQueue, 128u);
    EXPECT_EQ(fake.outQueue, 128u);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"CreateFileA \\\\.\\COM1", "SetupComm", "GetCommState",
                                                    "SetCommState", "SetCommTimeouts"}));
}

TEST_F(Core, EveryPortNumberGetsItsFullDeviceName)
{
    const std::pair<jint, const char *> cases[] = {
        {9, "\\\\.\\COM9"},          {10, "\\\\.\\COM10"},         {0, "\\\\.\\COM0"},
        {-1, "\\\\.\\COM-1"},        {INT_MAX, "\\\\.\\COM2147483647"},
        {INT_MIN, "\\\\.\\COM-2147483648"},
    };
    for (const auto &c : cases) {
        bool present = fake.devices.count(c.second) != 0;
        EXPECT_EQ(init(c.first), present) << c.second;
        EXPECT_EQ(fake.opens.back().name, c.second);
        EXPECT_EQ(fake.handles.size(), present ? 1u : 0u) << c.second;
    }
}

TEST_F(Core, LineSettingsChangeTheirFieldsAndKeepEveryOtherAsTheDriverHadIt)
{
    ASSERT_TRUE(init(1, 115200));
    EXPECT_EQ(fake.lengthSeen, 28u);
    ASSERT_EQ(fake.applied.size(), 1u);

    DCB want = driverDcb();
    want.DCBlength = 28;
    want.BaudRate = 115200;
    want.ByteSize = 8;
    want.Parity = 0;
    want.StopBits = 0;
    want.fBinary = 1;
    want.fParity = 0;
    want.fOutxDsrFlow = 0;
    want.fDtrControl = 0;
    want.fOutX = 0;
    want.fInX = 0;
    want.fRtsControl = 0;
    // Kept, each would silently lose input on a raw line.
    want.fNull = 0;
    want.fDsrSensitivity = 0;
    want.fAbortOnError = 0;
    EXPECT_EQ(bytes(fake.applied[0]), bytes(want));
    EXPECT_EQ(fake.applied[0].fOutxCtsFlow, 1u) << "the CTS handshake is the driver's to keep";

    // The rate goes to the driver as given, up to the largest jint.
    ASSERT_TRUE(init(2, INT_MAX));
    EXPECT_EQ(fake.applied.back().BaudRate, 0x7FFFFFFFu);
}

TEST_F(Core, ARateOfZeroOrBelowIsRefusedOnceOpenAndClosesThePort)
{
    for (jint baud : {0, -1, INT_MIN}) {
        SCOPED_TRACE(baud);
        fake.calls.clear();
        fake.applied.clear();
        EXPECT_FALSE(init(1, baud));
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"CreateFileA \\\\.\\COM1", "SetupComm", "CloseHandle"}));
        EXPECT_TRUE(fake.applied.empty()) << "the driver's settings were changed";
        EXPECT_TRUE(fake.handles.empty());
    }
}

TEST_F(Core, ReadsReturnAtOnceAndWritesHaveNoTimeout)
{
    ASSERT_TRUE(init(1));
    ASSERT_EQ(fake.timeouts.size(), 1u);
    const COMMTIMEOUTS &t = fake.timeouts[0];
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

TEST_F(Core, EveryFailedStepReportsFalseAndLeavesNoPortOpen)
{
    const std::pair<const char *, bool FakeWin32::*> steps[] = {
        {"SetupComm", &FakeWin32::failSetupComm},
        {"GetCommState", &FakeWin32::failGetCommState},
        {"SetCommState", &FakeWin32::failSetCommState},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.first);
        fake.*step.second = true;
        fake.calls.clear();
        EXPECT_FALSE(init(1));
        EXPECT_EQ(closes(), 1);
        EXPECT_TRUE(fake.handles.empty());
        fake.*step.second = false;

        fake.calls.clear();
        fake.rx = {0x55};
        EXPECT_EQ(recc(), -1);
        EXPECT_FALSE(send('x'));
        EXPECT_TRUE(fake.calls.empty()) << "the failed port is still in use";
    }

    // An absent port: nothing was opened, so nothing is closed.
    fake.calls.clear();
    EXPECT_FALSE(init(7));
    EXPECT_EQ(closes(), 0);
    EXPECT_TRUE(fake.handles.empty());
}

TEST_F(Core, RefusedTimeoutsStillLeaveAWorkingPort)
{
    fake.failSetCommTimeouts = true;
    ASSERT_TRUE(init(1));
    EXPECT_EQ(fake.handles.size(), 1u);
    EXPECT_TRUE(send('a'));
    EXPECT_EQ(fake.tx, std::vector<unsigned char>{'a'});
}

TEST_F(Core, ReccReturnsEveryByteAsZeroTo255AndMinusOneWhenNoneWaits)
{
    ASSERT_TRUE(init(1));
    fake.rx = {0xFF, 0x00, 0x80, 0x7F};
    EXPECT_EQ(recc(), 255);
    EXPECT_EQ(recc(), 0);
    EXPECT_EQ(recc(), 128);
    EXPECT_EQ(recc(), 127);
    EXPECT_EQ(recc(), -1);
    EXPECT_EQ(recc(), -1);
}

TEST_F(Core, SendWritesTheLowEightBitsAndReportsTheWrite)
{
    ASSERT_TRUE(init(1));
    EXPECT_TRUE(send(0x141));
    EXPECT_TRUE(send(-1));
    EXPECT_TRUE(send(0x100));
    EXPECT_EQ(fake.tx, (std::vector<unsigned char>{0x41, 0xFF, 0x00}));

    fake.failWrite = true;
    EXPECT_FALSE(send('a'));
    fake.failWrite = false;
    fake.writeTakes = 0; // "succeeded" with nothing written: a write time-out
    EXPECT_FALSE(send('b'));
    fake.writeTakes = 1;
    EXPECT_TRUE(send('c'));
}

TEST_F(Core, WithNoPortOpenNothingIsTouched)
{
    auto untouched = [] {
        fake.calls.clear();
        fake.rx = {0x55};
        EXPECT_EQ(recc(), -1);
        EXPECT_FALSE(send('x'));
        EXPECT_FALSE(close());
        EXPECT_TRUE(fake.calls.empty());
        EXPECT_TRUE(fake.tx.empty());
    };
    {
        SCOPED_TRACE("before any init");
        untouched();
    }
    {
        SCOPED_TRACE("after init of an absent port");
        EXPECT_FALSE(init(3));
        untouched();
    }
    {
        SCOPED_TRACE("after close");
        ASSERT_TRUE(init(1));
        fake.tx.clear();
        EXPECT_TRUE(close());
        untouched();
    }
}

TEST_F(Core, CloseReleasesThePortOnceAndReportsIt)
{
    ASSERT_TRUE(init(1));
    fake.calls.clear();
    EXPECT_TRUE(close());
    EXPECT_EQ(fake.calls, std::vector<std::string>{"CloseHandle"});
    EXPECT_TRUE(fake.handles.empty());
    EXPECT_FALSE(close());
    EXPECT_EQ(closes(), 1);
}

TEST_F(Core, InitOnAnOpenPortClosesItFirst)
{
    ASSERT_TRUE(init(1));
    fake.calls.clear();
    // The open is exclusive: reopening COM1 works only if it was closed before.
    ASSERT_TRUE(init(1));
    EXPECT_EQ(fake.calls[0], "CloseHandle");
    EXPECT_EQ(fake.handles.size(), 1u);

    ASSERT_TRUE(init(10));
    EXPECT_EQ(fake.handles.size(), 1u);
    EXPECT_EQ(fake.handles.begin()->second, "\\\\.\\COM10");

    // Failing to open another port still gives up the one that was open.
    EXPECT_FALSE(init(4));
    EXPECT_TRUE(fake.handles.empty());
    EXPECT_EQ(recc(), -1);
}

// Another thread's call in flight when the port closes: the close cancels it
// and waits for it to leave before closing the handle, and no call of any
// thread ever reaches a handle after its close (the fake counts that as misuse).
TEST_F(Core, CloseEndsASendInFlightThenClosesTheHandleItLeft)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(init(1));
    fake.blockWrites = true;
    auto sent = std::async(std::launch::async, [] { return send('x'); });
    ASSERT_TRUE(fake.waitBlocked(1));
    fake.calls.clear();
    EXPECT_TRUE(close());
    EXPECT_FALSE(sent.get()) << "a cancelled send reports that nothing was sent";
    // Cancelled (perhaps more than once, until the send has left), then closed.
    auto cancelled = std::find(fake.calls.begin(), fake.calls.end(), "WriteFile cancelled");
    ASSERT_NE(cancelled, fake.calls.end());
    EXPECT_EQ(fake.calls.front(), "CancelIoEx");
    EXPECT_EQ(fake.calls.back(), "CloseHandle");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CloseHandle"), 1);
    EXPECT_EQ(std::count(cancelled, fake.calls.end(), "CloseHandle"), 1) << "closed before the send had left";
    EXPECT_TRUE(fake.tx.empty());
}

// Wine cancels no synchronous I/O: there the close returns, and the handle
// closes when the call stuck in it ends. Until then the port is still taken.
TEST_F(Core, ASendTheSystemCannotCancelKeepsItsPortUntilItEndsYetCloseReturns)
{
    SKIP_WHERE_THREADS_HANG();
    auto sent = sendStuckInAClose();
    EXPECT_EQ(fake.handles.size(), 1u) << "closed under a call still in it";
    EXPECT_FALSE(init(1)) << "the port is still held by the call stuck in it";
    EXPECT_EQ(recc(), -1);

    fake.release();
    EXPECT_TRUE(sent.get());
    EXPECT_TRUE(fake.handles.empty()) << "the last call out closes the handle";
    EXPECT_TRUE(init(1));
}

// On a loaded machine a cancelled call can leave long after the close gave
// up waiting for it: an init of its port then waits for it, not fails.
TEST_F(Core, AnInitOfAPortThatACallIsSlowToLeaveOpensItOnceTheCallHasLeft)
{
    SKIP_WHERE_THREADS_HANG();
    auto sent = sendStuckInAClose();
    // The call leaves once the init has found its port taken.
    std::thread leaving([] {
        for (bool refused = false; !refused; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            std::lock_guard<std::mutex> hold(fake.lock);
            refused = std::count(fake.calls.begin(), fake.calls.end(), "CreateFileA \\\\.\\COM1") == 2;
        }
        fake.release();
    });
    EXPECT_TRUE(init(1)) << "failed while the call was on its way out";
    leaving.join();
    EXPECT_TRUE(sent.get());
    EXPECT_EQ(fake.handles.size(), 1u) << "the left call's handle stayed open beside the new one";
}

TEST_F(Core, CallsOnOtherThreadsNeverReachAHandleAfterItsClose)
{
    SKIP_WHERE_THREADS_HANG();
    std::atomic<bool> stop{false};
    auto hammer = [&](bool reading) {
        while (!stop.load())
            reading ? (void)recc() : (void)send('x');
    };
    std::thread reader(hammer, true), writer(hammer, false);
    for (int round = 0; round < 2000; round++) {
        {
            std::lock_guard<std::mutex> hold(fake.lock);
            fake.rx.assign(4, 0x55);
            fake.calls.clear();
            fake.tx.clear();
        }
        init(round % 2 ? 1 : 2);
        if (round % 3)
            close();
    }
    stop = true;
    reader.join();
    writer.join();
    // TearDown: no misuse, and no handle left open.
}

} // namespace
