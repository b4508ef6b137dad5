// The event natives over the recording fake: what a wait answers, packed; that
// a wake or a cancel ends it at once and the line goes on; that line errors a
// read took are still told; and what a bad mask, a gone device or a handle
// that names no line get.
#include "lines_fixture.h"
#include "threads.h"

#include <thread>

namespace {

jlong waitEvents(jlong line, jint mask) { return Java_ruvek_LineNatives_waitEvents(nullptr, nullptr, line, mask); }

constexpr jlong WOKEN = 1LL << 30;
constexpr jint LINES = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

int count(const std::vector<std::string> &calls, const std::string &what)
{
    int n = 0;
    for (const std::string &c : calls)
        n += c == what;
    return n;
}

TEST_F(Lines, AnEventWaitAnswersWhatCameWithTheLinesTheErrorsAndTheBytesWaiting)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    // What came before the wait is told at once; events outside the mask are not.
    fake.commMask = 0;
    fake.modemStatus = MS_CTS_ON | MS_RLSD_ON;
    fake.rx = {'a', 'b', 'c'};
    fake.lineErrors = CE_FRAME | CE_OVERRUN;
    fake.raise(EV_RXCHAR | EV_ERR | EV_TXEMPTY);
    jlong r = waitEvents(line, EV_RXCHAR | EV_ERR | LINES);
    ASSERT_GE(r, 0);
    EXPECT_EQ(r & 0xFFFF, EV_RXCHAR | EV_ERR);
    EXPECT_EQ((r >> 16) & 0xF, (MS_CTS_ON | MS_RLSD_ON) >> 4);
    EXPECT_EQ((r >> 20) & 0x1F, CE_FRAME | CE_OVERRUN);
    EXPECT_EQ(r >> 32, 3);
    EXPECT_EQ(count(fake.calls, "SetCommMask " + std::to_string(EV_RXCHAR | EV_ERR | LINES)), 1)
        << "the mask is set once while it stays the same";
    // Without modem lines in the mask, no modem call, and no levels.
    fake.raise(EV_TXEMPTY);
    size_t before = fake.calls.size();
    r = waitEvents(line, EV_TXEMPTY);
    ASSERT_GE(r, 0);
    EXPECT_EQ(r & 0xFFFF, EV_TXEMPTY);
    EXPECT_EQ((r >> 16) & 0xF, 0);
    for (size_t i = before; i < fake.calls.size(); i++)
        EXPECT_NE(fake.calls[i], "GetCommModemStatus");
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(fake.handles.empty()) << "the wait's event is freed with the line";
}

TEST_F(Lines, LineErrorsThatAReadsCountTookAreStillToldByTheNextWait)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rx = {'x'};
    fake.lineErrors = CE_RXPARITY | CE_BREAK;
    std::vector<jbyte> b(4);
    EXPECT_EQ(read(line, b, 0), 1) << "the read's ClearCommError takes the errors off the driver";
    EXPECT_EQ(fake.lineErrors, 0u);
    fake.raise(EV_ERR);
    jlong r = waitEvents(line, EV_ERR | EV_BREAK);
    ASSERT_GE(r, 0);
    EXPECT_EQ((r >> 20) & 0x1F, CE_RXPARITY | CE_BREAK);
    fake.raise(EV_ERR);
    r = waitEvents(line, EV_ERR | EV_BREAK);
    EXPECT_EQ((r >> 20) & 0x1F, 0) << "told once";
    EXPECT_TRUE(close(line));
}

bool anEventWaits()
{
    return fake.waitEventsWaiting(1);
}

TEST_F(Lines, AWakeEndsTheEventWaitOrTheNextWithNothingAndACancelEndsItForGood)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::thread waker([&] {
        if (anEventWaits())
            Java_ruvek_LineNatives_wakeEvents(nullptr, nullptr, line);
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), WOKEN);
    waker.join();
    // A wake before the wait began is still seen by it, once.
    Java_ruvek_LineNatives_wakeEvents(nullptr, nullptr, line);
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), WOKEN);
    std::thread raiser([&] {
        if (anEventWaits())
            fake.raise(EV_RXCHAR);
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR) & 0xFFFF, EV_RXCHAR) << "the wake was answered: the wait waits again";
    raiser.join();
    // A read and the event wait go on beside each other; a wake of one is not the other's.
    std::vector<jbyte> b(4);
    std::thread reader([&] { EXPECT_EQ(read(line, b, 0), 2); });
    std::thread waker2([&] {
        if (anEventWaits() && aReadWaits())
            Java_ruvek_LineNatives_wakeEvents(nullptr, nullptr, line);
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), WOKEN);
    waker2.join();
    fake.arrive("hi");
    reader.join();
    EXPECT_EQ(std::string(b.begin(), b.begin() + 2), "hi") << "the read was not woken";
    // The line's cancel ends the wait as aborted, and every later one.
    std::thread canceller([&] {
        if (anEventWaits())
            Java_ruvek_LineNatives_cancel(nullptr, nullptr, line);
    });
    EXPECT_EQ(waitEvents(line, EV_CTS | EV_RXCHAR), -(jlong)ERROR_OPERATION_ABORTED);
    canceller.join();
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), -(jlong)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(fake.handles.empty());
}

TEST_F(Lines, WhereTheSystemsWaitEndsAtOnceTheLineIsLookedAtAndEveryEventStillTold)
{
    SKIP_WHERE_THREADS_HANG();
    fake.eventsDontWait = true;
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rx = {'a', 'b'};
    jlong r = waitEvents(line, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
    ASSERT_GE(r, 0);
    EXPECT_EQ(r & 0xFFFF, EV_RXCHAR);
    EXPECT_EQ(r >> 32, 2);
    EXPECT_EQ(count(fake.calls, "WaitCommEvent"), 2) << "one quiet end may be a wake's; two are the system's";
    // Read, then as many again: still an arrival.
    std::vector<jbyte> b(2);
    EXPECT_EQ(read(line, b, 0), 2);
    fake.arrive("cd");
    r = waitEvents(line, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
    EXPECT_EQ(r & 0xFFFF, EV_RXCHAR);
    EXPECT_EQ(read(line, b, 0), 2);
    // A write's end, a modem line's change, a line error: each found by a look.
    EXPECT_EQ(write(line, b), 2);
    EXPECT_EQ(waitEvents(line, EV_RXCHAR | EV_TXEMPTY | EV_CTS) & 0xFFFF, EV_TXEMPTY);
    std::thread lines([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> hold(fake.lock);
        fake.modemStatus = MS_CTS_ON;
    });
    r = waitEvents(line, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
    lines.join();
    EXPECT_EQ(r & 0xFFFF, EV_CTS);
    EXPECT_EQ((r >> 16) & 0xF, MS_CTS_ON >> 4);
    {
        std::lock_guard<std::mutex> hold(fake.lock);
        fake.lineErrors = CE_FRAME;
    }
    r = waitEvents(line, EV_ERR);
    EXPECT_EQ(r & 0xFFFF, EV_ERR);
    EXPECT_EQ((r >> 20) & 0x1F, CE_FRAME);
    EXPECT_EQ(count(fake.calls, "WaitCommEvent"), 2) << "once looking, the line is looked at";
    // A wake and a cancel end a look too.
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Java_ruvek_LineNatives_wakeEvents(nullptr, nullptr, line);
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), WOKEN);
    waker.join();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Java_ruvek_LineNatives_cancel(nullptr, nullptr, line);
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), -(jlong)ERROR_OPERATION_ABORTED);
    canceller.join();
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(fake.handles.empty());
}

TEST_F(Lines, AnEventWaitOnADeviceThatGoesSaysSoAndBadMasksAndHandlesAreRefused)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    EXPECT_EQ(waitEvents(line, 0), -(jlong)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(waitEvents(line, 0x200), -(jlong)ERROR_INVALID_PARAMETER) << "EV_RXFLAG and beyond are not ours";
    EXPECT_EQ(waitEvents(line, -1), -(jlong)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(count(fake.calls, "WaitCommEvent"), 0) << "a bad mask reaches nothing";
    std::thread unplugger([&] {
        if (anEventWaits())
            fake.unplug(ERROR_OPERATION_ABORTED); // how Windows ends what waits on a removed device
    });
    EXPECT_EQ(waitEvents(line, EV_RXCHAR | EV_CTS), -(jlong)ERROR_DEVICE_REMOVED);
    unplugger.join();
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), -(jlong)ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(close(line));
    EXPECT_EQ(waitEvents(line, EV_RXCHAR), -(jlong)ERROR_INVALID_HANDLE);
    Java_ruvek_LineNatives_wakeEvents(nullptr, nullptr, line); // names no line: nothing
    EXPECT_EQ(waitEvents(0, EV_RXCHAR), -(jlong)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(fake.handles.empty());
}

} // namespace
