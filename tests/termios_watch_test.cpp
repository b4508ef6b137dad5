// The termios layer's port watch: a com link made or removed in the links'
// folder signals the change notice, as does the folder's own appearance;
// events as SetEvent and WaitForMultipleObjects use them; uevents told apart;
// bad handles refused; and many opens leave no descriptor behind.
#include "../layers/termios/termios.h"
#include "threads.h"
#include "watch.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr DWORD FILTER = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD PATIENCE_MS = 20000; // only a fault spends it

int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

class TermiosWatch : public ::testing::Test {
protected:
    std::string home, saved;
    bool hadConfig = false;
    HKEY key = nullptr;
    HANDLE wake = 0, changed = 0;

    void SetUp() override
    {
        char dir[] = "/tmp/ruvek-watch-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        home = dir;
        const char *config = getenv("XDG_CONFIG_HOME");
        hadConfig = config != nullptr;
        saved = config ? config : "";
        wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        if (key) {
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
        EXPECT_TRUE(CloseHandle(wake));
        EXPECT_TRUE(CloseHandle(changed));
        if (hadConfig)
            setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::string rm = "rm -rf '" + home + "'";
        EXPECT_EQ(system(rm.c_str()), 0);
    }

    // Opens the watch with its links under XDG_CONFIG_HOME=config, and asks for a notice.
    void watch(const std::string &config)
    {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                                &key),
                  ERROR_SUCCESS);
        arm();
    }
    void arm() { ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, FILTER, changed, TRUE), ERROR_SUCCESS); }
    DWORD waitBoth(DWORD ms)
    {
        HANDLE both[2] = {wake, changed};
        return WaitForMultipleObjects(2, both, FALSE, ms);
    }
    DWORD how()
    {
        DWORD bits = 0, type = 0, size = sizeof bits;
        EXPECT_EQ(RegQueryValueExA(key, RUVEK_WATCH_VALUE, nullptr, &type, (BYTE *)&bits, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_DWORD);
        return bits;
    }
};

TEST_F(TermiosWatch, ALinkMadeAndRemovedInTheLinksFolderSignalsTheNotice)
{
    std::string links = home + "/ruvek";
    ASSERT_EQ(mkdir(links.c_str(), 0700), 0);
    watch(home);
    DWORD bits = how();
    EXPECT_TRUE(bits & WATCH_LINKS);
    EXPECT_TRUE(bits & WATCH_BY_ID) << "or where it will appear";
    EXPECT_EQ(!(bits & WATCH_UEVENTS), !!(bits & WATCH_DEV)) << "tty nodes in /dev only without uevents";
    RecordProperty("uevents", (bits & WATCH_UEVENTS) ? "yes" : "no");

    ASSERT_EQ(symlink("/dev/null", (links + "/com7").c_str()), 0);
    EXPECT_EQ(waitBoth(PATIENCE_MS), WAIT_OBJECT_0 + 1);
    // Told once: another change needs another notice.
    ASSERT_EQ(unlink((links + "/com7").c_str()), 0);
    EXPECT_EQ(waitBoth(0), WAIT_TIMEOUT);
    arm();
    EXPECT_EQ(waitBoth(PATIENCE_MS), WAIT_OBJECT_0 + 1) << "the removal, queued until the notice was asked for";
    arm();
    ASSERT_EQ(SetEvent(wake), TRUE);
    EXPECT_EQ(waitBoth(PATIENCE_MS), WAIT_OBJECT_0);
}

TEST_F(TermiosWatch, TheLinksFolderAppearingIsSeenThenWhatComesInIt)
{
    std::string config = home + "/a/b";
    watch(config);
    EXPECT_TRUE(how() & WATCH_LINKS) << "its nearest ancestor is watched";
    for (const std::string &dir : {home + "/a", config, config + "/ruvek"}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
        EXPECT_EQ(waitBoth(PATIENCE_MS), WAIT_OBJECT_0 + 1) << dir;
        arm();
    }
    ASSERT_EQ(symlink("/dev/null", (config + "/ruvek/com3").c_str()), 0);
    EXPECT_EQ(waitBoth(PATIENCE_MS), WAIT_OBJECT_0 + 1);
    arm();
    // A file that is no folder of the way tells nothing.
    ASSERT_EQ(mkdir((home + "/other").c_str(), 0700), 0);
    EXPECT_EQ(waitBoth(200), WAIT_TIMEOUT);
}

TEST_F(TermiosWatch, EventsResetAsAskedAndBadHandlesAreRefused)
{
    EXPECT_TRUE(SetEvent(wake));
    EXPECT_TRUE(SetEvent(wake)); // still one signal
    EXPECT_EQ(waitBoth(0), WAIT_OBJECT_0);
    EXPECT_EQ(waitBoth(0), WAIT_TIMEOUT) << "an auto-reset event is taken by its wait";
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(1, &manual, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(1, &manual, FALSE, 0), WAIT_OBJECT_0) << "a manual-reset one stays signalled";
    EXPECT_TRUE(CloseHandle(manual));

    HANDLE notEvents[] = {(HANDLE)5, INVALID_HANDLE_VALUE, nullptr};
    for (HANDLE h : notEvents) {
        EXPECT_EQ(WaitForMultipleObjects(1, &h, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(h));
    }
    EXPECT_EQ(WaitForMultipleObjects(0, &wake, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);

    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_NOTIFY, &other), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_NOTIFY, &other), (LONG)ERROR_INVALID_PARAMETER);
    for (HKEY bad : {(HKEY) nullptr, HKEY_LOCAL_MACHINE, (HKEY)(uintptr_t)12345}) {
        EXPECT_EQ(RegNotifyChangeKeyValue(bad, FALSE, FILTER, changed, TRUE), (LONG)ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bad), (LONG)ERROR_INVALID_HANDLE);
    }
    watch(home);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, FILTER, (HANDLE)5, TRUE), (LONG)ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, FILTER, changed, FALSE), (LONG)ERROR_NOT_SUPPORTED);
    DWORD small = 0, size = 2;
    EXPECT_EQ(RegQueryValueExA(key, "Other", nullptr, nullptr, (BYTE *)&small, &size), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, RUVEK_WATCH_VALUE, nullptr, nullptr, (BYTE *)&small, &size), 234L)
        << "ERROR_MORE_DATA, with the size needed";
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), (LONG)ERROR_INVALID_HANDLE) << "a second close";
    key = nullptr;
}

TEST_F(TermiosWatch, ClosingTheKeyEndsAWaitOnItsNotice)
{
    SKIP_WHERE_THREADS_HANG();
    watch(home);
    DWORD answer = 0;
    std::thread waiter([&] { answer = waitBoth(INFINITE); });
    // Before its poll or in it, the close ends it.
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    key = nullptr;
    waiter.join();
    EXPECT_EQ(answer, WAIT_OBJECT_0 + 1) << "signalled, as Windows does";
}

TEST(TermiosUevents, OnlyATtysComingOrGoingCounts)
{
    auto is = [](const std::string &m) { return ruvek_termios::ttyUevent(m.c_str(), m.size()); };
    using namespace std::string_literals;
    EXPECT_TRUE(is("add@/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0ACTION=add\0SUBSYSTEM=tty\0"s));
    EXPECT_TRUE(is("remove@/devices/x/ttyUSB0\0ACTION=remove\0DEVPATH=/x\0SUBSYSTEM=usb-serial\0SEQNUM=9\0"s));
    EXPECT_FALSE(is("change@/devices/x/tty/ttyS0\0ACTION=change\0SUBSYSTEM=tty\0"s));
    EXPECT_FALSE(is("add@/devices/x/block/sda\0ACTION=add\0SUBSYSTEM=block\0"s));
    EXPECT_FALSE(is("add@/devices/x\0SUBSYSTEM=ttyish\0SUBSYSTEM=\0"s));
    EXPECT_FALSE(is("add@/devices/x/SUBSYSTEM=tty"s)) << "a field in the header is no field";
    EXPECT_FALSE(is(""s));
    EXPECT_FALSE(is("libudev\0\0\0\0SUBSYSTEM=tty\0"s));
    // Cut short: the fields that fit are read, no byte past them.
    std::string cut = "add@/x\0SUBSYSTEM=tty\0"s;
    EXPECT_FALSE(ruvek_termios::ttyUevent(cut.c_str(), 7 + 5));
}

// A thousand: each inotify close waits out a kernel grace period (some 7 ms),
// which an emulator stretches; the JVM's test goes through it 10,000 times.
TEST(TermiosWatchCycles, AThousandOpensAndClosesLeaveTheDescriptorsAsTheyWere)
{
    HANDLE warm = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(SetEvent(warm));
    ASSERT_TRUE(CloseHandle(warm));
    int before = openDescriptors();
    for (int i = 0; i < 1000; i++) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY, &key),
                  ERROR_SUCCESS) << "open " << i;
        HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr), changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, FILTER, changed, TRUE), ERROR_SUCCESS);
        ASSERT_TRUE(SetEvent(wake));
        HANDLE both[2] = {wake, changed};
        ASSERT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        ASSERT_TRUE(CloseHandle(wake));
        ASSERT_TRUE(CloseHandle(changed));
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
