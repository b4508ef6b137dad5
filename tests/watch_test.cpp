// The port-watch natives over the recording fake: a change notice wakes the
// wait and is asked for again, a wake ends it with 0, the DEVICEMAP tree is
// watched where SERIALCOMM is missing, and bad handles, failures at open and
// many opens leave nothing held.
#include "lines_fixture.h"
#include "threads.h"
#include "watch.h"

#include <future>
#include <thread>

namespace {

jlong watchOpen() { return Java_ruvek_LineNatives_watchOpen(nullptr, nullptr); }
jint watchWait(jlong h) { return Java_ruvek_LineNatives_watchWait(nullptr, nullptr, h); }
void watchWake(jlong h) { Java_ruvek_LineNatives_watchWake(nullptr, nullptr, h); }
jint watchClose(jlong h) { return Java_ruvek_LineNatives_watchClose(nullptr, nullptr, h); }
jint watchHow(jlong h) { return Java_ruvek_LineNatives_watchHow(nullptr, nullptr, h); }

constexpr DWORD FILTER = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
const std::string ARMED = "RegNotifyChangeKeyValue 0 " + std::to_string(FILTER | REG_NOTIFY_THREAD_AGNOSTIC);

int count(const std::vector<std::string> &calls, const std::string &what)
{
    int n = 0;
    for (const std::string &c : calls)
        n += c == what;
    return n;
}

// A wait on its own thread, once one is in the fake.
std::future<jint> waitAside(jlong h)
{
    std::future<jint> f = std::async(std::launch::async, [h] { return watchWait(h); });
    EXPECT_TRUE(fake.waitMultipleWaiting(1));
    return f;
}

using Watch = Lines;

TEST_F(Watch, AChangeWakesTheWaitAndItsNoticeIsAskedForAgain)
{
    SKIP_WHERE_THREADS_HANG();
    jlong h = watchOpen();
    ASSERT_GT(h, 0);
    EXPECT_EQ(count(fake.calls, "RegOpenKeyExA HARDWARE\\DEVICEMAP\\SERIALCOMM"), 1);
    EXPECT_EQ(count(fake.calls, ARMED), 1) << "armed at open, so that nothing before the first wait is missed";
    fake.changeKey();
    EXPECT_EQ(watchWait(h), 1) << "a change between the open and the wait";

    std::future<jint> f = waitAside(h);
    EXPECT_EQ(count(fake.calls, ARMED), 2) << "asked for again after each change";
    fake.changeKey();
    EXPECT_EQ(f.get(), 1);
    f = waitAside(h);
    fake.changeKey();
    EXPECT_EQ(f.get(), 1);
    EXPECT_EQ(count(fake.calls, ARMED), 3);
    EXPECT_EQ(watchClose(h), 0);
}

TEST_F(Watch, AWakeEndsTheWaitWithZeroAndIsAnsweredBeforeAChange)
{
    SKIP_WHERE_THREADS_HANG();
    jlong h = watchOpen();
    ASSERT_GT(h, 0);
    std::future<jint> f = waitAside(h);
    watchWake(h);
    EXPECT_EQ(f.get(), 0);
    // A wake before the wait ends the next one at once, and only that one.
    watchWake(h);
    fake.changeKey();
    EXPECT_EQ(watchWait(h), 0) << "the wake first, when both came";
    EXPECT_EQ(watchWait(h), 1) << "the change is still told";
    f = waitAside(h);
    watchWake(h);
    EXPECT_EQ(f.get(), 0);
    EXPECT_EQ(watchClose(h), 0);
}

TEST_F(Watch, CloseFreesAllAndAHandleThatNamesNoWatchIsRefused)
{
    jlong h = watchOpen();
    ASSERT_GT(h, 0);
    EXPECT_EQ(watchHow(h), (jint)WATCH_REGISTRY) << "Windows' key has no value of ours";
    EXPECT_EQ(watchClose(h), 0);
    EXPECT_TRUE(fake.handles.empty()) << "the key and both events are freed";
    for (jlong bad : {h, (jlong)0, (jlong)-1, (jlong)1 << 40, h + 256}) {
        EXPECT_EQ(watchWait(bad), -(jint)ERROR_INVALID_HANDLE) << bad;
        EXPECT_EQ(watchHow(bad), -(jint)ERROR_INVALID_HANDLE) << bad;
        EXPECT_EQ(watchClose(bad), -(jint)ERROR_INVALID_HANDLE) << bad;
        watchWake(bad);
    }
    EXPECT_EQ(count(fake.calls, "SetEvent"), 0) << "no wake reached the fake";
}

TEST_F(Watch, WithoutSerialCommTheDeviceMapsTreeIsWatched)
{
    fake.noSerialComm = true;
    jlong h = watchOpen();
    ASSERT_GT(h, 0);
    EXPECT_EQ(count(fake.calls, "RegOpenKeyExA HARDWARE\\DEVICEMAP"), 1);
    EXPECT_EQ(count(fake.calls, "RegNotifyChangeKeyValue 1 " + std::to_string(FILTER | REG_NOTIFY_THREAD_AGNOSTIC)), 1)
        << "with its subtree, where SERIALCOMM will appear";
    EXPECT_EQ(watchHow(h), (jint)WATCH_DEVICEMAP);
    fake.changeKey();
    EXPECT_EQ(watchWait(h), 1);
    EXPECT_EQ(watchClose(h), 0);
}

TEST_F(Watch, TheLayersWaysAreToldAndAnOlderWindowsIsAskedWithoutTheThreadFlag)
{
    fake.watchHow = WATCH_UEVENTS | WATCH_LINKS;
    fake.noThreadAgnostic = true;
    jlong h = watchOpen();
    ASSERT_GT(h, 0);
    EXPECT_EQ(watchHow(h), (jint)(WATCH_UEVENTS | WATCH_LINKS));
    fake.changeKey();
    EXPECT_EQ(watchWait(h), 1);
    fake.changeKey(); // no notice asked for yet: nothing to signal
    fake.calls.clear();
    watchWake(h);
    EXPECT_EQ(watchWait(h), 0);
    EXPECT_EQ(count(fake.calls, "RegNotifyChangeKeyValue 0 " + std::to_string(FILTER)), 1)
        << "asked for again, without the flag the system refused";
    EXPECT_EQ(watchClose(h), 0);
}

TEST_F(Watch, AFailedOpenHoldsNothing)
{
    fake.failRegOpen = ERROR_ACCESS_DENIED;
    EXPECT_EQ(watchOpen(), -(jlong)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fake.handles.empty());
    fake.failRegOpen = 0;
    fake.failCreateEvent = true;
    EXPECT_EQ(watchOpen(), -(jlong)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(fake.handles.empty()) << "the key opened first is closed again";
}

TEST_F(Watch, TenThousandOpensAndClosesLeakNothing)
{
    for (int i = 0; i < 10000; i++) {
        jlong h = watchOpen();
        ASSERT_GT(h, 0) << "open " << i;
        watchWake(h);
        ASSERT_EQ(watchWait(h), 0);
        ASSERT_EQ(watchClose(h), 0);
        if (i % 1000 == 0)
            fake.calls.clear();
    }
    EXPECT_TRUE(fake.handles.empty());
    EXPECT_TRUE(fake.keys.empty());
    EXPECT_TRUE(fake.signalled.empty());
}

} // namespace
