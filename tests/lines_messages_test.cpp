// The gap read over the recording fake: the time-outs it sets, where a
// message ends, what it leaves on the line, and what bad arguments get.
#include "lines_fixture.h"
#include "threads.h"

#include <string>
#include <thread>

namespace {

class Gaps : public Lines {
protected:
    jint readGap(jlong line, std::vector<jbyte> &b, jint off, jint len, jint gap, jint first)
    {
        return Java_ruvek_LineNatives_readGap(env, nullptr, line, reinterpret_cast<jbyteArray>(&b), off, len, gap,
                                              first);
    }
};

TEST_F(Gaps, AnUntimedGapReadIsOneReadUnderTheIntervalTimeOut)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rx = {'a', 'b', 'c'};
    std::vector<jbyte> b(64);
    EXPECT_EQ(readGap(line, b, 0, 64, 25, 0), 3);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 3), "abc");
    const COMMTIMEOUTS &t = fake.timeouts.back();
    EXPECT_EQ(t.ReadIntervalTimeout, 25u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u) << "no total: the first byte is waited for without limit";
    // A plain read after it sets its own time-outs again.
    fake.rx = {'z'};
    EXPECT_EQ(read(line, b, 0), 1);
    EXPECT_EQ(fake.timeouts.back().ReadIntervalTimeout, 0u);
    // A message as long as asked ends there; the rest stays on the line.
    fake.rx = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(readGap(line, b, 10, 4, 25, 0), 4);
    EXPECT_EQ(std::string(b.begin() + 10, b.begin() + 14), "1234");
    EXPECT_EQ(fake.rx.size(), 2u);
    fake.rx.clear();
    EXPECT_TRUE(close(line));
}

TEST_F(Gaps, ATimedGapReadWaitsTheGapForEachNextByteAndGivesZeroWhenNothingCame)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    std::vector<jbyte> b(64);
    EXPECT_EQ(readGap(line, b, 0, 64, 20, 30), 0) << "nothing within the first wait";
    fake.rx = {'x', 'y'};
    std::thread more([] {
        if (aReadWaits())
            fake.arrive("z");
    });
    EXPECT_EQ(readGap(line, b, 0, 64, 300, 1000), 3) << "a byte within the gap belongs to the message";
    more.join();
    EXPECT_EQ(std::string(b.begin(), b.begin() + 3), "xyz");
    EXPECT_EQ(fake.timeouts.back().ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(fake.timeouts.back().ReadIntervalTimeout, 0u);
    // After the gap, nothing more is taken.
    fake.rx = {'p'};
    EXPECT_EQ(readGap(line, b, 0, 64, 20, 1000), 1);
    EXPECT_TRUE(fake.rx.empty());
    EXPECT_TRUE(close(line));
}

TEST_F(Gaps, BadArgumentsTakeNothingOffTheLineAndAWakeEndsOnlyTheFirstWait)
{
    SKIP_WHERE_THREADS_HANG();
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rx = {'k'};
    std::vector<jbyte> b(8);
    EXPECT_EQ(readGap(line, b, 0, 0, 10, 0), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(readGap(line, b, 0, 8, 0, 0), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(readGap(line, b, 0, 8, 10, -1), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(readGap(line, b, 4, 8, 10, 0), -(jint)ERROR_INVALID_PARAMETER) << "past the array's end";
    EXPECT_EQ(fake.rx.size(), 1u);
    fake.rx.clear();
    std::thread waker([&] {
        if (aReadWaits())
            Java_ruvek_LineNatives_wakeRead(nullptr, nullptr, line);
    });
    EXPECT_EQ(readGap(line, b, 0, 8, 10, 0), 0) << "woken before a byte came";
    waker.join();
    EXPECT_TRUE(close(line));
    EXPECT_EQ(readGap(line, b, 0, 8, 10, 0), -(jint)ERROR_INVALID_HANDLE);
}

} // namespace
