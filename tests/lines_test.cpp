// The named API's natives over the recording fake: how a line opens, reads,
// writes and is cancelled, in Win32 calls; that no failed open leaves a
// handle behind; and how they answer a device that has gone, a range
// outside its array and a handle that names no line.
#include "lines_fixture.h"
#include "threads.h"

#include <chrono>
#include <thread>

namespace {

TEST_F(Lines, OpenAsksForOverlappedIoAndTheLineThatSerialPortSets)
{
    jlong line = open("\\\\.\\COM3", 115200);
    ASSERT_GT(line, 0);
    ASSERT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(fake.opens[0].flags, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(fake.opens[0].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(fake.opens[0].shareMode, 0u);
    // The raw line first, then the format asked, every field of it.
    ASSERT_EQ(fake.applied.size(), 2u);
    EXPECT_EQ(fake.applied[0].BaudRate, 115200u);
    EXPECT_EQ(fake.applied[0].ByteSize, 8);
    EXPECT_EQ(fake.applied[0].fOutX, 0u);
    EXPECT_EQ(fake.applied[1].BaudRate, 115200u);
    EXPECT_EQ(fake.applied[1].fOutxCtsFlow, 0u) << "a handshake left on by another program survived the open";
    // A read waits without limit for what it asks: what has arrived, or one byte.
    ASSERT_EQ(fake.timeouts.size(), 1u);
    EXPECT_EQ(fake.timeouts[0].ReadIntervalTimeout, 0u);
    EXPECT_EQ(fake.timeouts[0].ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(fake.timeouts[0].ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(fake.timeouts[0].WriteTotalTimeoutConstant, 0u);
    // Two lines at once, each on its own port; the same port twice is refused.
    jlong other = open("\\\\.\\COM4");
    ASSERT_GT(other, 0);
    EXPECT_EQ(open("\\\\.\\COM3"), -(jlong)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(close(other));
    EXPECT_TRUE(fake.handles.empty()) << "events or ports left open";
}

TEST_F(Lines, EveryFailedStepOfOpenSaysWhyAndLeavesNothingOpen)
{
    EXPECT_EQ(open("\\\\.\\COM9"), -(jlong)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("\\\\.\\COM3", 0), -(jlong)ERROR_INVALID_PARAMETER);
    std::vector<jbyte> unterminated = {'C', 'O', 'M', '3'};
    EXPECT_EQ(Java_ruvek_LineNatives_open(env, nullptr, reinterpret_cast<jbyteArray>(&unterminated), 9600, 8, 0, 0, 0, 0),
              -(jlong)ERROR_INVALID_PARAMETER);
    fake.opens.clear();
    for (auto bad : {std::vector<jint>{4, 0, 0, 0}, {9, 0, 0, 0}, {8, 5, 0, 0}, {8, 0, 3, 0}, {8, 0, 0, 3}})
        EXPECT_EQ(open("\\\\.\\COM3", 9600, bad[0], bad[1], bad[2], bad[3]), -(jlong)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(fake.opens.empty()) << "a format no line has reached the system";
    fake.failCreateEvent = true;
    EXPECT_EQ(open("\\\\.\\COM3"), -(jlong)ERROR_NOT_ENOUGH_MEMORY);
    fake.failCreateEvent = false;
    fake.failGetCommState = true;
    EXPECT_EQ(open("\\\\.\\COM3"), -SETTINGS_REFUSED);
    fake.failGetCommState = false;
    fake.failSetCommState = true;
    EXPECT_EQ(open("\\\\.\\COM3"), -SETTINGS_REFUSED);
    fake.failSetCommState = false;
    fake.failSetCommTimeouts = true;
    EXPECT_EQ(open("\\\\.\\COM3"), -(jlong)ERROR_GEN_FAILURE);
    EXPECT_TRUE(fake.handles.empty()) << "a failed open left a handle";
    fake.failSetCommTimeouts = false;
    jlong line = open("\\\\.\\COM3");
    EXPECT_GT(line, 0) << "a failed open kept the port";
    EXPECT_TRUE(close(line));
}

TEST_F(Lines, AReadTakesWhatHasArrivedOrWaitsForItsFirstByteUntilItsTimeOut)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.arrive("hello");
    std::vector<jbyte> b(100);
    EXPECT_EQ(read(line, b, 0), 5);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 5), "hello");

    // A time-out is set once, and kept while it stays the same.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(line, b, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(read(line, b, 200), 0);
    ASSERT_EQ(fake.timeouts.size(), 2u);
    EXPECT_EQ(fake.timeouts[1].ReadTotalTimeoutConstant, 200u);

    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fake.arrive("x");
    });
    EXPECT_EQ(read(line, b, 0), 1) << "a pending read ends with the byte that arrives";
    EXPECT_EQ(b[0], 'x');
    sender.join();
    fake.arrive("abc");
    EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, line), 3);
    EXPECT_TRUE(close(line));
}

TEST_F(Lines, ACancelEndsAReadInProgressAndOneThatBeginsAfterIt)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::vector<jbyte> b(16);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Java_ruvek_LineNatives_cancel(env, nullptr, line);
    });
    EXPECT_EQ(read(line, b, 0), -(jint)ERROR_OPERATION_ABORTED);
    canceller.join();
    // The cancel came before this read began: it must not wait for ever.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(line, b, 0), -(jint)ERROR_OPERATION_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(fake.handles.empty());
}

// Interrupting a Java thread wakes its read alone: no bytes, the line open.
TEST_F(Lines, AWakeEndsTheReadWaitingOrTheNextWithNothingAndTheLineGoesOn)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::vector<jbyte> b(16);
    std::thread waker([&] {
        if (aReadWaits())
            Java_ruvek_LineNatives_wakeRead(nullptr, nullptr, line);
    });
    EXPECT_EQ(read(line, b, 0), 0) << "an untimed read ends with nothing";
    waker.join();
    // A wake before the read began is still seen by the read's wait, once.
    Java_ruvek_LineNatives_wakeRead(nullptr, nullptr, line);
    EXPECT_EQ(read(line, b, 5000), 0);
    std::thread sender([&] {
        if (aReadWaits())
            fake.arrive("ab");
    });
    EXPECT_EQ(read(line, b, 0), 2) << "the wake was answered: the next read waits for its bytes";
    sender.join();
    EXPECT_EQ(std::string(b.begin(), b.begin() + 2), "ab");
    std::vector<jbyte> out = {'x'};
    EXPECT_EQ(write(line, out), 1) << "writes are not woken";
    // A device that goes still says so, woken reads before or not.
    std::thread unplugger([&] {
        if (aReadWaits())
            fake.unplug(ERROR_OPERATION_ABORTED);
    });
    EXPECT_EQ(read(line, b, 0), -(jint)ERROR_DEVICE_REMOVED);
    unplugger.join();
    EXPECT_TRUE(close(line));
    EXPECT_TRUE(fake.handles.empty());
}

TEST_F(Lines, AWriteHandsOverEveryByteInChunksItsBufferHolds)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::vector<jbyte> data(40000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (jbyte)(i * 7);
    EXPECT_EQ(write(line, data), 40000);
    EXPECT_EQ(fake.writeSizes, (std::vector<DWORD>{16384, 16384, 7232}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), fake.tx.begin(), fake.tx.end(),
                           [](jbyte a, unsigned char b) { return (unsigned char)a == b; }));
    fake.failWrite = true;
    EXPECT_EQ(write(line, data), -(jint)ERROR_GEN_FAILURE);
    EXPECT_TRUE(close(line));
}

// Each way Windows says that a device has gone reaches Java as one code,
// from every call on the line, and a pending read ends with it; an abort
// that no cancel of ours caused is one of them, one after a cancel is not.
TEST_F(Lines, EveryCallOnADeviceThatHasGoneSaysSoAsDeviceRemoved)
{
    SKIP_WHERE_THREADS_HANG();
    const jint removed = -(jint)ERROR_DEVICE_REMOVED;
    for (DWORD error : {ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED,
                        ERROR_OPERATION_ABORTED}) {
        SCOPED_TRACE(testing::Message() << "system error " << error);
        fake.reset();
        fake.devices = {"\\\\.\\COM3"};
        fake.rememberState = true;
        jlong line = open("\\\\.\\COM3");
        ASSERT_GT(line, 0);
        std::vector<jbyte> b(16);
        std::thread pull([error] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            fake.unplug(error);
        });
        EXPECT_EQ(read(line, b, 0), removed) << "a read waiting as the device went";
        pull.join();
        everyCallGives(line, removed); // setFormat too: a gone device is no refusal
        EXPECT_TRUE(close(line));
        EXPECT_TRUE(fake.handles.empty());
    }
    // Our own cancel's abort is the line closing, not the device going.
    fake.reset();
    fake.devices = {"\\\\.\\COM3"};
    fake.rememberState = true;
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    Java_ruvek_LineNatives_cancel(env, nullptr, line);
    fake.unplug(ERROR_OPERATION_ABORTED);
    std::vector<jbyte> b(16);
    EXPECT_EQ(read(line, b, 0), -(jint)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(close(line));
}

// A device that goes while its line opens is gone, not a refusal of 8N1.
TEST_F(Lines, ADeviceThatGoesAsItsLineOpensSaysSoAndLeavesNothingOpen)
{
    fake.refuseState = [](const DCB &) {
        fake.gone = ERROR_BAD_COMMAND;
        return false;
    };
    EXPECT_EQ(open("\\\\.\\COM3"), -(jlong)ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(fake.handles.empty());
}

// After a cancel nothing starts: each call that comes is aborted before it
// reaches the driver, even one that would complete at once.
TEST_F(Lines, EveryCallAfterACancelIsAbortedAndReachesNothing)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.arrive("waiting");
    Java_ruvek_LineNatives_cancel(env, nullptr, line);
    fake.calls.clear();
    fake.applied.clear();
    everyCallGives(line, -(jint)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(fake.calls.empty()) << "reached the driver: " << fake.calls.front();
    EXPECT_TRUE(fake.tx.empty()) << "bytes reached the wire after the cancel";
    EXPECT_EQ(fake.rx.size(), 7u) << "bytes taken off the line after the cancel";
    EXPECT_TRUE(close(line));
}

// A range outside its array moves nothing: no stale bytes of the buffer's
// last use go out, and no byte is taken off the line that can't be delivered.
TEST_F(Lines, ARangeOutsideItsArrayIsRefusedAndMovesNothing)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::vector<jbyte> secret = {'S', 'E', 'C', 'R', 'E', 'T', 'D', 'A', 'T', 'A'};
    ASSERT_EQ(write(line, secret), 10);
    fake.tx.clear();
    fake.arrive("abcdef");
    std::vector<jbyte> ten(10);
    jbyteArray a = reinterpret_cast<jbyteArray>(&ten);
    for (auto r : {std::pair<jint, jint>{8, 10}, {-1, 5}, {0x7FFFFFF0, 22}, {0, 11}, {11, 0}, {5, -1}}) {
        SCOPED_TRACE(testing::Message() << "offset " << r.first << ", length " << r.second);
        EXPECT_EQ(Java_ruvek_LineNatives_write(env, nullptr, line, a, r.first, r.second), -(jint)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(Java_ruvek_LineNatives_read(env, nullptr, line, a, r.first, r.second, 0), -(jint)ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(fake.tx.empty()) << "sent " << fake.tx.size() << " bytes";
    EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, line), 6) << "bytes taken and lost";
    EXPECT_EQ(Java_ruvek_LineNatives_write(env, nullptr, line, nullptr, 0, 1), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(close(line));
}

// A handle that names no open line, never opened or closed already, gets
// ERROR_INVALID_HANDLE from every call, and a second close frees nothing.
TEST_F(Lines, AHandleThatNamesNoOpenLineIsInvalidEverywhereAndClosesOnce)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    jlong other = open("\\\\.\\COM4");
    ASSERT_GT(other, 0);
    EXPECT_TRUE(close(line));
    EXPECT_FALSE(close(line)) << "closed twice";
    jlong reopened = open("\\\\.\\COM3");
    ASSERT_GT(reopened, 0);
    EXPECT_NE(reopened, line) << "a stale handle would reach the new line";
    const jint invalid = -(jint)ERROR_INVALID_HANDLE;
    std::vector<jbyte> b(4);
    for (jlong bad : {line, (jlong)0, (jlong)-1, (jlong)0x1234567, (jlong)1 << 40}) {
        SCOPED_TRACE(testing::Message() << "handle " << bad);
        everyCallGives(bad, invalid);
        Java_ruvek_LineNatives_cancel(nullptr, nullptr, bad);
        EXPECT_FALSE(close(bad));
    }
    EXPECT_EQ(write(reopened, b), 4) << "the open lines still work";
    EXPECT_EQ(write(other, b), 4);
    EXPECT_TRUE(close(reopened));
    EXPECT_TRUE(close(other));
    EXPECT_TRUE(fake.handles.empty());
}

} // namespace
