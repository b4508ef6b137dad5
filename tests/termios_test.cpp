// The termios layer on real pseudo-terminals: names, exclusivity, line
// settings as the device holds them, time-outs, signals, hang-ups, and the
// bytes read ahead of the caller.
#include "SerialPort.h"
#include "threads.h"
#include "../layers/termios/termios.h"
#include "line.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <limits.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <vector>
#include <unistd.h>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// How long a test waits for what must come: long enough for a loaded
// machine and for qemu-user, and only spent when something is wrong.
constexpr long PATIENCE_MS = 20000;

// Waits until the port counts n bytes received, read ahead or not: a pty
// hands a write to the other end a moment later, and later still when the
// machine is busy. False after PATIENCE_MS.
bool arrived(HANDLE h, DWORD n)
{
    for (auto start = Clock::now(); msSince(start) < PATIENCE_MS; usleep(1000)) {
        COMSTAT stat = {};
        if (ClearCommError(h, nullptr, &stat) && stat.cbInQue >= n)
            return true;
    }
    return false;
}

// The same for a pty slave that nobody has open: its input queue.
bool queuedAt(const std::string &slavePath, int n)
{
    int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool seen = false;
    for (auto start = Clock::now(); fd >= 0 && !seen && msSince(start) < PATIENCE_MS; usleep(1000)) {
        int queued = 0;
        seen = ioctl(fd, FIONREAD, &queued) == 0 && queued >= n;
    }
    if (fd >= 0)
        close(fd);
    return seen;
}

// A pseudo-terminal whose slave is COM7 through a link in a private config dir.
class Termios : public ::testing::Test {
protected:
    int master = -1, slave = -1;
    std::string dir, slavePath;
    HANDLE h = nullptr;

    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        slavePath = name;
        close(slave); // the library opens it itself
        char tmpl[] = "/tmp/ruvek-termios-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        ASSERT_EQ(mkdir((dir + "/ruvek").c_str(), 0700), 0);
        ASSERT_EQ(symlink(slavePath.c_str(), (dir + "/ruvek/com7").c_str()), 0);
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }

    void TearDown() override
    {
        if (h) {
            EXPECT_TRUE(CloseHandle(h));
        }
        close(master);
        unlink((dir + "/ruvek/com7").c_str());
        rmdir((dir + "/ruvek").c_str());
        rmdir(dir.c_str());
    }

    HANDLE open(const char *name)
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    void openCom7(COMMTIMEOUTS timeouts)
    {
        h = open("\\\\.\\COM7");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = 9600;
        dcb.fOutX = dcb.fInX = 0; // a fresh pty has IXON, which would eat XON and XOFF bytes
        ASSERT_TRUE(SetCommState(h, &dcb));
        ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    }

    struct termios slaveTermios()
    {
        struct termios t = {};
        int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
        return t;
    }
};

const COMMTIMEOUTS polling = {0xFFFFFFFFu, 0, 0, 0, 0};

TEST_F(Termios, ComNamesResolveThroughTheLinkAndNothingElseOpens)
{
    for (const char *name : {"\\\\.\\COM7", "COM7"}) {
        HANDLE opened = open(name);
        EXPECT_NE(opened, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(opened));
    }
    for (const char *name : {"COM", "COM07", "COM+7", "COM7x", "COM 7", "\\\\.\\COM", "LPT1", "com7",
                             "\\\\?\\COM7", "COM-1", "COM0", "COM99999999999999999999", "/dev/ptmx", ""})
        EXPECT_EQ(open(name), INVALID_HANDLE_VALUE) << name;

    // Without XDG_CONFIG_HOME the link is looked for under ~/.config.
    unsetenv("XDG_CONFIG_HOME");
    std::string home = dir + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home + "/.config").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir + "/ruvek").c_str(), (home + "/.config/ruvek").c_str()), 0);
    const char *oldHome = getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", home.c_str(), 1);
    HANDLE opened = open("COM7");
    setenv("HOME", savedHome.c_str(), 1);
    EXPECT_NE(opened, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(opened));
    unlink((home + "/.config/ruvek").c_str());
    rmdir((home + "/.config").c_str());
    rmdir(home.c_str());
}

TEST_F(Termios, TheOpenIsExclusiveUntilClosed)
{
    h = open("COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int other = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "another opener got the lock";
    EXPECT_TRUE(CloseHandle(h));
    h = nullptr;
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the lock outlived the close";
    close(other);
    EXPECT_FALSE(CloseHandle(h)) << "a closed handle closed again";
}

TEST_F(Termios, InitLeavesTheDeviceRawAtTheRateAndKeepsCtsAsItWas)
{
    // The driver's CTS handshake is on before init and must stay on.
    struct termios before = slaveTermios();
    before.c_cflag |= CRTSCTS;
    before.c_iflag |= ICRNL | IXON | ISTRIP;
    before.c_lflag |= ECHO | ICANON;
    int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    close(fd);

    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 115200));
    struct termios t = slaveTermios();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), (tcflag_t)(CREAD | CLOCAL));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_TRUE(Java_SerialPort_close(nullptr, nullptr));
}

// The kernel's record behind TCGETS2 on the architectures built here; the
// layer checks its layout.
struct termios2 {
    char bytes[44];
};

// Sets each rate and reads it back.
void expectRatesSet(HANDLE h, DCB &dcb, std::initializer_list<DWORD> rates)
{
    for (DWORD rate : rates) {
        dcb.BaudRate = rate;
        EXPECT_TRUE(SetCommState(h, &dcb)) << rate;
        DCB now = {};
        ASSERT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(now.BaudRate, rate);
        EXPECT_EQ(now.ByteSize, 8);
    }
}

TEST_F(Termios, RatesAreSetAsGivenOrRefused)
{
    h = open("COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));

    expectRatesSet(h, dcb, {300u, 9600u, 115200u});
    DCB bad = dcb;
    bad.BaudRate = 0; // hang up, on POSIX
    EXPECT_FALSE(SetCommState(h, &bad));
    bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &bad));
    bad = dcb;
    bad.fDtrControl = 2; // DTR handshake: termios has none
    EXPECT_FALSE(SetCommState(h, &bad));
}

TEST_F(Termios, RatesThatNoConstantNamesAreSetAsGiven)
{
    h = open("COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct termios2 record; // the ioctl's number holds its size
    if (ioctl(master, TCGETS2, &record) != 0 && errno == ENOSYS)
        GTEST_SKIP() << "no termios2 here (qemu-user answers ENOSYS): such rates are refused";
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    expectRatesSet(h, dcb, {31250u, 250000u});
}

TEST_F(Termios, ReadsHonourTheTimeoutsInForce)
{
    SKIP_WHERE_THREADS_HANG();
    openCom7(polling);
    unsigned char byte = 0;
    DWORD got = 99;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(msSince(start), 2000) << "a polling read waited";

    ASSERT_EQ(write(master, "\xff", 1), 1);
    ASSERT_TRUE(arrived(h, 1));
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0xFF);

    COMMTIMEOUTS bounded = {0, 0, 200, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &bounded));
    start = Clock::now();
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(msSince(start), 190);
    EXPECT_LT(msSince(start), PATIENCE_MS);

    COMMTIMEOUTS none = {};
    ASSERT_TRUE(SetCommTimeouts(h, &none)); // waits for the byte, however long
    std::thread later([this] {
        usleep(100000);
        (void)!write(master, "z", 1);
    });
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    later.join();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 'z');
}

TEST_F(Termios, SignalsDoNotCutAWaitShortOrLoseData)
{
    SKIP_WHERE_THREADS_HANG();
    const char *emulator = std::getenv("RUVEK_EMULATOR");
    if (emulator && std::strcmp(emulator, "qemu-i386") == 0)
        GTEST_SKIP() << "qemu-i386 aborts the program when a thread signals another";
    openCom7({0, 0, 300, 0, 0});
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = 0; // no SA_RESTART: poll and read see EINTR
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    pthread_t reader = pthread_self();
    std::thread pester([reader] {
        for (int i = 0; i < 10; i++) {
            usleep(20000);
            pthread_kill(reader, SIGUSR1);
        }
    });
    unsigned char byte = 0;
    DWORD got = 99;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    long waited = msSince(start);
    pester.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 290) << "a signal ended the wait early";

    // A write that waits on a full queue goes on waiting through signals,
    // then completes once the peer reads again.
    COMMTIMEOUTS noWriteLimit = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &noWriteLimit));
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    static char data[256 * 1024];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = (char)(i * 7);
    size_t drained = 0;
    bool same = true;
    std::thread peer([&] {
        for (int i = 0; i < 10; i++) {
            usleep(20000);
            pthread_kill(reader, SIGUSR1);
        }
        char buf[4096];
        struct pollfd p = {master, POLLIN, 0};
        // A write that gave up early leaves nothing more to read: stop then.
        while (drained < sizeof data && poll(&p, 1, PATIENCE_MS) == 1) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t k = 0; k < n; k++)
                same = same && buf[k] == data[drained + k];
            drained += (size_t)n;
        }
    });
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, data, sizeof data, &written, nullptr));
    EXPECT_EQ(written, sizeof data);
    peer.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(drained, sizeof data);
    EXPECT_TRUE(same) << "the bytes arrived changed";
}

TEST_F(Termios, AHungUpDeviceFailsReadsAndWrites)
{
    openCom7(polling);
    close(master);
    master = -1;
    unsigned char byte = 'q';
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(WriteFile(h, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
}

TEST_F(Termios, AFullQueueMakesAWriteWaitUntilItsTimeout)
{
    openCom7({0xFFFFFFFFu, 0, 0, 0, 100});
    // Nobody reads the master: the queue fills, then a write can only wait.
    char chunk[4096] = {};
    DWORD written = 0;
    int rounds = 0;
    do {
        ASSERT_TRUE(WriteFile(h, chunk, sizeof chunk, &written, nullptr));
    } while (written == sizeof chunk && ++rounds < 10000);
    ASSERT_LT(rounds, 10000) << "the queue never filled";
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, chunk, 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(msSince(start), 90);
}

// Writes all of data to the master from another thread, as fast as the pty
// takes it, giving up after PATIENCE_MS without progress.
std::thread feed(int master, const std::vector<unsigned char> &data)
{
    return std::thread([master, &data] {
        size_t done = 0;
        struct pollfd p = {master, POLLOUT, 0};
        while (done < data.size() && poll(&p, 1, PATIENCE_MS) == 1) {
            ssize_t n = write(master, data.data() + done, data.size() - done);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            done += n > 0 ? (size_t)n : 0;
        }
    });
}

// Reads until want bytes have come or reads have found nothing for PATIENCE_MS.
std::vector<unsigned char> drain(HANDLE h, size_t want, DWORD chunk)
{
    std::vector<unsigned char> got;
    std::vector<unsigned char> buf(chunk);
    auto quietSince = Clock::now();
    while (got.size() < want && msSince(quietSince) < PATIENCE_MS) {
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), (DWORD)std::min<size_t>(chunk, want - got.size()), &n, nullptr))
            break;
        if (n)
            quietSince = Clock::now();
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    return got;
}

TEST_F(Termios, EachByteArrivesOnceAndInOrderUnderEveryTimeout)
{
    SKIP_WHERE_THREADS_HANG();
    openCom7(polling);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::mt19937 random(7);
    std::vector<unsigned char> data(300000);
    for (auto &b : data)
        b = (unsigned char)random();

    // Far more than the read-ahead holds, read by single bytes and by
    // requests both smaller and larger than it, under polling and waiting
    // time-outs in turn.
    std::thread writer = feed(master, data);
    std::vector<unsigned char> got;
    const COMMTIMEOUTS waiting[] = {polling, {0, 0, 100, 0, 0}, {20, 0, 500, 0, 0}, {0xFFFFFFFFu, 0, 0, 0, 0}};
    const DWORD chunks[] = {1, 3, 1, 5000};
    for (int round = 0; got.size() < data.size() && round < 400; round++) {
        ASSERT_TRUE(SetCommTimeouts(h, const_cast<COMMTIMEOUTS *>(&waiting[round % 4])));
        std::vector<unsigned char> part = drain(h, std::min<size_t>(1000 + round, data.size() - got.size()),
                                                chunks[round % 4]);
        got.insert(got.end(), part.begin(), part.end());
        if (part.empty())
            break;
    }
    writer.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes changed, repeated or out of order";

    ASSERT_TRUE(SetCommTimeouts(h, const_cast<COMMTIMEOUTS *>(&polling)));
    unsigned char byte;
    DWORD count = 99;
    EXPECT_TRUE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u) << "a byte more than was sent";
}

// Two threads reading one port share its read-ahead: each byte goes to one
// of them, once.
TEST_F(Termios, TwoReadersGetEachByteOnce)
{
    SKIP_WHERE_THREADS_HANG();
    openCom7(polling);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::vector<unsigned char> data(2 << 20);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (unsigned char)(i * 7 + i / 256);
    std::thread writer = feed(master, data);
    std::vector<long> seen[2] = {std::vector<long>(256), std::vector<long>(256)};
    std::atomic<size_t> total{0};
    auto reader = [&](std::vector<long> &counts) {
        auto quietSince = Clock::now();
        while (total.load() < data.size() && msSince(quietSince) < PATIENCE_MS) {
            unsigned char byte;
            DWORD n = 0;
            if (ReadFile(h, &byte, 1, &n, nullptr) && n == 1) {
                counts[byte]++;
                total++;
                quietSince = Clock::now();
            }
        }
    };
    std::thread other(reader, std::ref(seen[1]));
    reader(seen[0]);
    other.join();
    writer.join();

    std::vector<long> want(256);
    for (unsigned char b : data)
        want[b]++;
    EXPECT_EQ(total.load(), data.size());
    for (int v = 0; v < 256; v++)
        ASSERT_EQ(seen[0][v] + seen[1][v], want[v]) << "byte value " << v << " lost or repeated";
}

TEST_F(Termios, WaitingTimeoutsKeepTheirMeaningForBytesReadAhead)
{
    openCom7(polling);
    ASSERT_EQ(write(master, "abcdef", 6), 6);
    ASSERT_TRUE(arrived(h, 6));
    char buf[16] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 1, &got, nullptr)); // takes all six ahead
    ASSERT_EQ(got, 1u);

    // The interval time-out ends a read that has bytes, the total one a read
    // that has too few: neither waits forever nor returns early.
    COMMTIMEOUTS interval = {50, 0, 3 * PATIENCE_MS, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &interval));
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "bcdef");
    EXPECT_GE(msSince(start), 40);
    EXPECT_LT(msSince(start), PATIENCE_MS) << "the interval time-out did not end the read";

    ASSERT_EQ(write(master, "gh", 2), 2);
    ASSERT_TRUE(arrived(h, 2));
    COMMTIMEOUTS total = {0, 0, 150, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &total));
    start = Clock::now();
    EXPECT_TRUE(ReadFile(h, buf, 3, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "gh");
    EXPECT_GE(msSince(start), 140);
}

TEST_F(Termios, NoByteReadAheadOutlivesItsOpen)
{
    // Through close: the old handle reads nothing, the next open only what came after.
    openCom7(polling);
    ASSERT_EQ(write(master, "abcdef", 6), 6);
    ASSERT_TRUE(arrived(h, 6));
    unsigned char byte = 0;
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &count, nullptr));
    ASSERT_EQ(byte, 'a');
    ASSERT_TRUE(CloseHandle(h));
    HANDLE old = h;
    h = nullptr;
    EXPECT_FALSE(ReadFile(old, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u) << "a byte read after close";
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), -1);

    openCom7(polling);
    ASSERT_EQ(write(master, "xy", 2), 2);
    ASSERT_TRUE(arrived(h, 2));
    char buf[16];
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &count, nullptr));
    EXPECT_EQ(std::string(buf, count), "xy");
    ASSERT_TRUE(CloseHandle(h));
    h = nullptr;

    // Through init over an open port, as the natives do it.
    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 9600));
    ASSERT_EQ(write(master, "123", 3), 3);
    ASSERT_TRUE(arrived(portHandle, 3));
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), '1');
    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 9600));
    ASSERT_EQ(write(master, "z", 1), 1);
    ASSERT_TRUE(arrived(portHandle, 1));
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), 'z') << "a byte from before the init";
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), -1);
    EXPECT_TRUE(Java_SerialPort_close(nullptr, nullptr));
}

TEST_F(Termios, BytesReadAheadBeforeAHangUpAreStillDelivered)
{
    openCom7(polling);
    ASSERT_EQ(write(master, "hello", 5), 5);
    ASSERT_TRUE(arrived(h, 5));
    char buf[8];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(h, buf, 1, &count, nullptr));
    close(master);
    master = -1;
    // Empty polls find the hang-up whether or not they ask FIONREAD first.
    std::string rest;
    int failed = 0;
    for (auto start = Clock::now(); !failed && msSince(start) < PATIENCE_MS;) {
        failed = !ReadFile(h, buf, 1, &count, nullptr);
        rest.append(buf, count);
    }
    EXPECT_EQ(rest, "ello");
    EXPECT_TRUE(failed) << "the hang-up was not reported";
}

// What a peer wrote while nobody had the port open is not the new session's.
TEST_F(Termios, InitStartsWithAnEmptyInputQueue)
{
    ASSERT_EQ(write(master, "stale\n", 6), 6);
    ASSERT_TRUE(queuedAt(slavePath, 6)) << "the line discipline never took the bytes";
    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 9600));
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), -1) << "a byte from before init was delivered";
    ASSERT_EQ(write(master, "n", 1), 1);
    ASSERT_TRUE(arrived(portHandle, 1));
    EXPECT_EQ(Java_SerialPort_recc(nullptr, nullptr), 'n');
    EXPECT_TRUE(Java_SerialPort_close(nullptr, nullptr));
}

// A com<n> link that exists but can't be read refuses the port; only a
// missing link falls back to /dev/ttyS<n-1>.
TEST_F(Termios, AnUnreadableLinkRefusesThePortInsteadOfFallingBack)
{
    if (access("/dev/ttyS0", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no /dev/ttyS0 to fall back to here, so a fallback can't be seen";
    std::string loop = dir + "/loop";
    ASSERT_EQ(mkdir(loop.c_str(), 0700), 0);
    ASSERT_EQ(symlink((loop + "/ruvek").c_str(), (loop + "/ruvek").c_str()), 0); // com1 under it: ELOOP
    setenv("XDG_CONFIG_HOME", loop.c_str(), 1);
    HANDLE opened = open("COM1");
    if (opened != INVALID_HANDLE_VALUE)
        CloseHandle(opened);
    EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << "fell back to /dev/ttyS0 past an unreadable link";
    unlink((loop + "/ruvek").c_str());
    rmdir(loop.c_str());
}

// A config folder whose link path is too long for the system can't say
// whether the link exists: the port is refused, not mapped to /dev/ttyS<n-1>.
TEST_F(Termios, ALinkPathTooLongRefusesThePortInsteadOfFallingBack)
{
    if (access("/dev/ttyS0", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no /dev/ttyS0 to fall back to here, so a fallback can't be seen";
    std::string deep = dir;
    while (deep.size() < PATH_MAX)
        deep += "/deeper";
    setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
    HANDLE opened = open("COM1");
    if (opened != INVALID_HANDLE_VALUE)
        CloseHandle(opened);
    EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << "fell back to /dev/ttyS0 past a link path that does not fit";
}

// Only terminals open: not a file, not /dev/null, and not /dev/ptmx, whose
// every open makes a new pty master with nobody at the other end.
TEST_F(Termios, LinksToWhatIsNoSerialPortRefuseThePort)
{
    std::string file = dir + "/notes.txt", link = dir + "/ruvek/com7";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    fclose(f);
    for (std::string target : {file, std::string("/dev/null"), std::string("/dev/ptmx")}) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        HANDLE opened = open("COM7");
        if (opened != INVALID_HANDLE_VALUE)
            CloseHandle(opened);
        EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << target;
    }
    unlink(file.c_str());
    unlink(link.c_str());
    ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
    HANDLE opened = open("COM7");
    EXPECT_NE(opened, INVALID_HANDLE_VALUE) << "the pty itself";
    EXPECT_TRUE(CloseHandle(opened));
}

// A process killed with the port open leaves it usable for everybody: a
// pty slave keeps TIOCEXCL for as long as its master is open.
TEST_F(Termios, APortHeldByAKilledProcessOpensForAnotherUser)
{
    SKIP_WHERE_THREADS_HANG();
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run the second process as another user";
    const uid_t nobody = 65534;
    // The other user must reach the link and the device.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/ruvek").c_str(), 0755), 0);
    ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char ok = Java_SerialPort_init(nullptr, nullptr, 7, 9600) ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    close(ready[1]);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    ASSERT_EQ(ok, 'y');

    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(2);
        _exit(Java_SerialPort_init(nullptr, nullptr, 7, 9600) && Java_SerialPort_close(nullptr, nullptr) ? 0 : 1);
    }
    int status = 0;
    waitpid(other, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the port stayed locked after its holder was killed";
}

// Files that take the descriptor numbers a closed port frees, each holding
// `fill` bytes of 'U', and a check that nothing read or wrote them.
struct Bystanders {
    std::vector<int> fds;
    std::string dir;

    explicit Bystanders(const std::string &d) : dir(d) {}
    void open(int n)
    {
        for (int i = 0; i < n; i++) {
            std::string path = dir + "/bystander" + std::to_string(fds.size());
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            (void)!write(fd, "UUUU", 4);
            lseek(fd, 0, SEEK_SET);
            fds.push_back(fd);
            unlink(path.c_str());
        }
    }
    // True when every file still holds exactly its 'U's at offset 0.
    bool untouched()
    {
        bool same = true;
        for (int fd : fds) {
            char buf[16] = {};
            same = same && lseek(fd, 0, SEEK_CUR) == 0 && pread(fd, buf, sizeof buf, 0) == 4 &&
                   memcmp(buf, "UUUU", 4) == 0;
            close(fd);
        }
        fds.clear();
        return same;
    }
};

// Runs f on a thread and waits for it at most ms; a call that never returns
// ends the test program, since no later test could run beside it.
template <class F> void finishesWithin(int ms, F f, const char *what)
{
    std::atomic<bool> done{false};
    std::thread t([&] {
        f();
        done = true;
    });
    for (int waited = 0; !done && waited < ms; waited += 10)
        usleep(10000);
    if (!done) {
        ADD_FAILURE() << what << " did not return";
        fprintf(stderr, "%s hung\n", what);
        _exit(1);
    }
    t.join();
}

TEST_F(Termios, CloseFreesASendBlockedOnAFullQueueAndItWritesNowhereElse)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 9600));
    // Nobody reads the master: fill the queue, under a short write time-out.
    COMMTIMEOUTS shortWrites = {0xFFFFFFFFu, 0, 0, 0, 20};
    ASSERT_TRUE(SetCommTimeouts(portHandle, &shortWrites));
    char chunk[4096] = {};
    DWORD written = 0;
    do
        ASSERT_TRUE(WriteFile(portHandle, chunk, sizeof chunk, &written, nullptr));
    while (written == sizeof chunk);
    COMMTIMEOUTS polling = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(portHandle, &polling));

    std::atomic<int> sent{-1};
    std::thread sender([&] { sent = Java_SerialPort_send(nullptr, nullptr, 'X'); });
    usleep(100000);
    EXPECT_EQ(sent, -1) << "the send did not wait on the full queue";

    EXPECT_TRUE(Java_SerialPort_close(nullptr, nullptr));
    Bystanders others(dir);
    others.open(4);
    // The peer reads again: a send still waiting would now go ahead.
    std::thread drain([this] {
        char buf[4096];
        struct pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, 300) == 1 && ::read(master, buf, sizeof buf) > 0) {
        }
    });
    finishesWithin(PATIENCE_MS, [&] { sender.join(); }, "a send blocked when the port closed");
    drain.join();
    EXPECT_EQ(sent, 0) << "a send cut off by close reported success";
    EXPECT_TRUE(others.untouched()) << "the send wrote to a file opened after close";
}

// recc and send hammered on two threads while a third closes and reopens the
// port, with other files taking the freed descriptor numbers in between.
TEST_F(Termios, CallsInFlightDuringCloseAndInitTouchOnlyTheOpenPort)
{
    SKIP_WHERE_THREADS_HANG();
    ASSERT_TRUE(Java_SerialPort_init(nullptr, nullptr, 7, 115200));
    std::atomic<bool> stop{false};
    std::atomic<long> badRead{0}, badSent{0}, received{0}, sendsOk{0};

    std::thread peer([&] {
        int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        char buf[256];
        while (!stop) {
            (void)!write(master, "PPPPPPPP", 8);
            for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
                for (ssize_t k = 0; k < n; k++)
                    badSent += buf[k] != 'S';
            usleep(200);
        }
    });
    std::thread reader([&] {
        while (!stop) {
            jint b = Java_SerialPort_recc(nullptr, nullptr);
            badRead += b != -1 && b != 'P';
            received += b == 'P';
        }
    });
    std::thread writer([&] {
        while (!stop)
            sendsOk += Java_SerialPort_send(nullptr, nullptr, 'S');
    });

    Bystanders others(dir);
    int cycles = 0;
    bool opened = true;
    // So many cycles, however long they take, and on until bytes have gone both ways.
    finishesWithin(3 * PATIENCE_MS, [&] {
        for (auto start = Clock::now();
             cycles < 200 || ((received == 0 || sendsOk == 0) && msSince(start) < PATIENCE_MS); cycles++) {
            Java_SerialPort_close(nullptr, nullptr);
            others.open(3);
            opened = opened && Java_SerialPort_init(nullptr, nullptr, 7, 115200);
            usleep(500);
        }
        stop = true;
        Java_SerialPort_close(nullptr, nullptr); // wakes whatever still waits
    }, "close and init beside recc and send");
    finishesWithin(PATIENCE_MS, [&] {
        reader.join();
        writer.join();
        peer.join();
    }, "a recc or send after the last close");

    EXPECT_TRUE(opened) << "an init failed";
    EXPECT_EQ(badRead, 0) << "recc returned something the peer never sent";
    EXPECT_EQ(badSent, 0) << "the peer received something nobody sent";
    EXPECT_TRUE(others.untouched()) << "a file opened between close and init was read or written";
    EXPECT_GT(received, 0);
    EXPECT_GT(sendsOk, 0);
}

} // namespace

// The settings as pure functions: tables, no device.
namespace settings {

using namespace ruvek_termios;

// A pseudo-terminal opened by the layer through its path, for overlapped I/O
// as the named API's library opens ports.
struct PathPort {
    int master = -1;
    std::string path;
    HANDLE h = INVALID_HANDLE_VALUE;

    PathPort()
    {
        int slave = -1;
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        close(slave);
        path = name;
        h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        // A fresh pty has IXON, which would eat XON and XOFF bytes.
        struct termios t;
        int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        if (fd >= 0)
            close(fd);
    }
    ~PathPort()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        close(master);
    }
};

// Waits up to `ms` for a first byte, then returns what has arrived: the
// time-outs that the named API's reads use.
const COMMTIMEOUTS firstByte(DWORD ms) { return {MAXDWORD, MAXDWORD, ms, 0, 0}; }

// An overlapped read as the named API's library makes it: the bytes, or -1
// with the error in *error.
long overlappedRead(HANDLE h, unsigned char *buf, DWORD n, DWORD *error)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = ReadFile(h, buf, n, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetOverlappedResult(h, &ov, &got, TRUE);
    *error = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    return ok ? (long)got : -1;
}

int openDescriptors()
{
    int n = 0;
    for (int fd = 0; fd < 4096; fd++)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

TEST(Ports, ManyOpenAtOnceEachWithItsOwnBytesAndNoStaleHandleReachesANewOne)
{
    int before = openDescriptors();
    {
        std::vector<std::unique_ptr<PathPort>> ports;
        for (int i = 0; i < 8; i++) {
            ports.emplace_back(new PathPort);
            ASSERT_NE(ports.back()->h, INVALID_HANDLE_VALUE) << ports.back()->path;
            COMMTIMEOUTS t = firstByte(PATIENCE_MS);
            ASSERT_TRUE(SetCommTimeouts(ports.back()->h, &t));
        }
        // A second open of a held device: refused as shared, nothing opened.
        HANDLE again = CreateFileA(ports[0]->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_EQ(again, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

        for (int i = 0; i < 8; i++) {
            unsigned char out[3] = {(unsigned char)i, (unsigned char)(i + 100), (unsigned char)(i + 200)};
            ASSERT_EQ(write(ports[i]->master, out, 3), 3);
        }
        for (int i = 0; i < 8; i++) {
            unsigned char in[16] = {};
            DWORD error = 0;
            long got = 0;
            while (got < 3) {
                long n = overlappedRead(ports[i]->h, in + got, sizeof in - got, &error);
                ASSERT_GT(n, 0) << "port " << i << ", error " << error;
                got += n;
            }
            EXPECT_EQ(got, 3);
            EXPECT_EQ(in[0], i);
            EXPECT_EQ(in[2], i + 200);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(ports[i]->h, in, 3, &written, nullptr));
            unsigned char back[3];
            ASSERT_EQ(read(ports[i]->master, back, 3), 3);
            EXPECT_EQ(back[1], i + 100);
        }

        // The slot a closed port leaves goes to the next open, under a new handle.
        HANDLE stale = ports[3]->h;
        ASSERT_TRUE(CloseHandle(stale));
        ports[3]->h = INVALID_HANDLE_VALUE;
        PathPort next;
        ASSERT_NE(next.h, INVALID_HANDLE_VALUE);
        EXPECT_NE(next.h, stale);
        ASSERT_EQ(write(next.master, "n", 1), 1);
        unsigned char b = 0;
        DWORD error = 0;
        EXPECT_EQ(overlappedRead(stale, &b, 1, &error), -1);
        EXPECT_EQ(error, ERROR_INVALID_HANDLE);
        DWORD written = 0;
        EXPECT_FALSE(WriteFile(stale, "x", 1, &written, nullptr));
        EXPECT_FALSE(CloseHandle(stale));
        EXPECT_TRUE(arrived(next.h, 1)) << "the byte sent to the new port stayed there";
        COMSTAT stat = {};
        ASSERT_TRUE(ClearCommError(next.h, nullptr, &stat));
        EXPECT_EQ(stat.cbInQue, 1u);

        // The table is full at 64 ports: the open after it is refused, cleanly.
        std::vector<std::unique_ptr<PathPort>> more;
        while (more.size() < 64) {
            more.emplace_back(new PathPort);
            if (more.back()->h == INVALID_HANDLE_VALUE)
                break;
        }
        ASSERT_EQ(more.back()->h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(ports.size() - 1 + 1 + more.size() - 1, 64u);
    }
    EXPECT_EQ(openDescriptors(), before) << "descriptors leaked";
}

TEST(Ports, AFirstByteWaitReturnsWhatHasArrivedOrNothingAtItsTimeoutAndACancelEndsIt)
{
    PathPort p;
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = firstByte(300);
    ASSERT_TRUE(SetCommTimeouts(p.h, &t));
    unsigned char buf[64];
    DWORD error = 0;
    auto start = Clock::now();
    EXPECT_EQ(overlappedRead(p.h, buf, sizeof buf, &error), 0);
    long ms = msSince(start);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, PATIENCE_MS);

    // Bytes that have arrived end a read at once, far inside its time-out.
    t = firstByte(3 * PATIENCE_MS);
    ASSERT_TRUE(SetCommTimeouts(p.h, &t));
    ASSERT_EQ(write(p.master, "abc", 3), 3);
    ASSERT_TRUE(arrived(p.h, 3));
    COMSTAT stat = {};
    start = Clock::now();
    EXPECT_EQ(overlappedRead(p.h, buf, 1, &error), 1);
    ASSERT_TRUE(ClearCommError(p.h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 2u) << "bytes read ahead count as waiting";
    EXPECT_EQ(overlappedRead(p.h, buf + 1, sizeof buf - 1, &error), 2) << "what has arrived, not the buffer's length";
    EXPECT_LT(msSince(start), PATIENCE_MS);
    EXPECT_EQ(std::string((char *)buf, 3), "abc");

    t = firstByte(MAXDWORD - 1);
    ASSERT_TRUE(SetCommTimeouts(p.h, &t));
    std::thread canceller([&] {
        usleep(100000);
        CancelIoEx(p.h, nullptr);
    });
    start = Clock::now();
    EXPECT_EQ(overlappedRead(p.h, buf, sizeof buf, &error), -1);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    EXPECT_LT(msSince(start), PATIENCE_MS);
    canceller.join();
}

// A read's record cancelled wakes that read alone, or the next read to
// wait when none waits yet (its ReadFile runs to its end, so a cancel just
// before it must not be lost); the port stays open for both directions.
TEST(Ports, ARecordsCancelWakesTheReadWaitingOrTheNextAndLeavesThePortOpen)
{
    PathPort p;
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(SetCommTimeouts(p.h, &t)); // reads wait for all they ask, without limit
    unsigned char buf[16];
    DWORD error = 0;
    OVERLAPPED record = {};
    std::thread waker([&] {
        usleep(100000);
        CancelIoEx(p.h, &record);
    });
    EXPECT_EQ(overlappedRead(p.h, buf, sizeof buf, &error), -1);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    waker.join();

    ASSERT_TRUE(CancelIoEx(p.h, &record));
    ASSERT_TRUE(CancelIoEx(p.h, &record));
    auto start = Clock::now();
    EXPECT_EQ(overlappedRead(p.h, buf, sizeof buf, &error), -1) << "two wakes before it: the next wait ends";
    EXPECT_LT(msSince(start), PATIENCE_MS);
    // Both were answered by that one: this read waits for its bytes.
    std::thread sender([&] {
        usleep(100000);
        (void)!write(p.master, "ok", 2);
    });
    EXPECT_EQ(overlappedRead(p.h, buf, 2, &error), 2);
    sender.join();
    EXPECT_EQ(std::string((char *)buf, 2), "ok");
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(p.h, "w", 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
    EXPECT_TRUE(CloseHandle(p.h));
    p.h = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(CancelIoEx(p.h, &record));
}

// What a pseudo-terminal keeps of a format, read back through a second open
// of the device: it keeps stop bits, CMSPAR, PARODD and both handshakes,
// and forces 8 data bits and no parity on every tcsetattr.
TEST_F(Termios, TwoStopBitsAndBothHandshakesReachAPtyAndReadBackFromASecondOpen)
{
    openCom7(polling);
    LineFormat f = {19200, 8, NOPARITY, TWOSTOPBITS, FLOW_RTS_CTS, 0};
    ASSERT_EQ(applyFormat(h, &f), 0);
    struct termios t = slaveTermios();
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    LineFormat back = {};
    ASSERT_TRUE(readFormat(h, &back));
    EXPECT_EQ(back.stopBits, TWOSTOPBITS);
    EXPECT_EQ(back.flow, FLOW_RTS_CTS);

    f.flow = FLOW_XON_XOFF;
    ASSERT_EQ(applyFormat(h, &f), 0);
    t = slaveTermios();
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), (tcflag_t)(IXON | IXOFF));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    ASSERT_TRUE(readFormat(h, &back));
    EXPECT_EQ(back.flow, FLOW_XON_XOFF);
}

TEST_F(Termios, WhatAPtyRevertsIsRefusedNamingItsFieldAndTheLineKeepsItsSettings)
{
    openCom7(polling);
    LineFormat was = {9600, 8, NOPARITY, TWOSTOPBITS, FLOW_RTS_CTS, 0};
    ASSERT_EQ(applyFormat(h, &was), 0);
    struct {
        LineFormat f;
        int field;
    } cases[] = {
        {{9600, 7, NOPARITY, TWOSTOPBITS, FLOW_RTS_CTS, 0}, FIELD_DATA_BITS},
        {{9600, 8, EVENPARITY, TWOSTOPBITS, FLOW_RTS_CTS, 0}, FIELD_PARITY},
        {{9600, 8, MARKPARITY, TWOSTOPBITS, FLOW_RTS_CTS, 0}, FIELD_PARITY},
        {{9600, 7, EVENPARITY, ONESTOPBIT, FLOW_NONE, 0}, FIELD_DATA_BITS}, // 7E1: the first refused
        {{9600, 8, NOPARITY, ONE5STOPBITS, FLOW_NONE, 0}, FIELD_STOP_BITS}, // 1.5 only after 5 data bits
    };
    for (auto &c : cases) {
        EXPECT_EQ(applyFormat(h, &c.f), c.field) << "data bits " << (int)c.f.dataBits << ", parity " << (int)c.f.parity;
        struct termios t = slaveTermios();
        EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
        EXPECT_FALSE(t.c_cflag & PARENB);
        EXPECT_TRUE(t.c_cflag & CSTOPB) << "the refused change took the stop bits with it";
        EXPECT_TRUE(t.c_cflag & CRTSCTS) << "the refused change took the handshake with it";
    }
}

// Neither low latency nor RS-485 is a pty's: each is refused by name, and
// the line keeps what it had.
TEST_F(Termios, APtyRefusesLowLatencyAndRs485ByNameAndKeepsItsLine)
{
    openCom7(polling);
    LineFormat was = {9600, 8, NOPARITY, TWOSTOPBITS, FLOW_NONE, 0};
    ASSERT_EQ(applyFormat(h, &was), 0);
    LineFormat low = was, rs485 = was;
    low.options = OPTION_LOW_LATENCY;
    rs485.options = OPTION_RS485;
    EXPECT_EQ(applyFormat(h, &low), FIELD_LOW_LATENCY);
    EXPECT_EQ(applyFormat(h, &rs485), FIELD_RS485);
    LineFormat back = {};
    ASSERT_TRUE(readFormat(h, &back));
    EXPECT_EQ(back.options, 0);
    EXPECT_EQ(back.stopBits, TWOSTOPBITS);
    EXPECT_TRUE(slaveTermios().c_cflag & CSTOPB);
}

TEST_F(Termios, APtyHasNoModemLinesTakesABreakAndPurgesWhatWaits)
{
    openCom7(polling);
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    // qemu-user knows no break ioctl: there the layer says so, as it would of any such system.
    bool emulated = std::getenv("RUVEK_EMULATOR") != nullptr;
    BOOL broke = SetCommBreak(h);
    if (!broke && emulated) {
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    } else {
        EXPECT_TRUE(broke);
        EXPECT_TRUE(ClearCommBreak(h));
    }
    EXPECT_TRUE(FlushFileBuffers(h));

    // Bytes waiting, some of them already read ahead, all go.
    ASSERT_EQ(write(master, "abcdef", 6), 6);
    ASSERT_TRUE(arrived(h, 6));
    unsigned char b = 0;
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, &b, 1, &got, nullptr));
    ASSERT_EQ(got, 1u);
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    ASSERT_TRUE(ReadFile(h, &b, 1, &got, nullptr));
    EXPECT_EQ(got, 0u) << "a byte read ahead outlived the purge: " << b;
    ASSERT_EQ(write(master, "z", 1), 1);
    ASSERT_TRUE(arrived(h, 1));
    ASSERT_TRUE(ReadFile(h, &b, 1, &got, nullptr));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(b, 'z');
}

// A record as a cooked terminal leaves it, so that each change shows.
struct termios cooked()
{
    struct termios t = {};
    t.c_iflag = ICRNL | IXON | IXANY | IGNPAR | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CSTOPB | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B300);
    cfsetospeed(&t, B300);
    return t;
}

TEST(Settings, EveryStandardRateMapsToItsCodeAndBackAndNoOtherHasOne)
{
    const DWORD rates[] = {50, 300, 1200, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 4000000};
    for (DWORD rate : rates) {
        speed_t code = 0;
        DWORD back = 0;
        ASSERT_TRUE(rateCode(rate, &code)) << rate;
        ASSERT_TRUE(codeRate(code, &back)) << rate;
        EXPECT_EQ(back, rate);
    }
    speed_t code;
    for (DWORD rate : {0u, 1u, 31250u, 250000u, 0xFFFFFFFFu})
        EXPECT_FALSE(rateCode(rate, &code)) << rate;
}

// What the chips make of a rate, as their drivers set their divisors; the
// figures are what QEMU's emulated 8250 and FT232 report running at.
TEST(Settings, TheRatesA16550AndAnFt232MakeAreTheirDivisorsAndOnlyCloseOnesPass)
{
    EXPECT_EQ(uartRate(115200, 9600), 9600u);
    EXPECT_EQ(uartRate(115200, 31250), 28800u);
    EXPECT_EQ(uartRate(115200, 76800), 57600u);
    EXPECT_EQ(uartRate(115200, 115200), 115200u);
    EXPECT_EQ(uartRate(115200, 1000000), 115200u) << "a divisor is never below 1";
    EXPECT_EQ(ftdiRate(9600), 9600u);
    EXPECT_EQ(ftdiRate(31250), 31250u);
    EXPECT_EQ(ftdiRate(250000), 250000u);
    EXPECT_EQ(ftdiRate(1000000), 1000000u);
    EXPECT_EQ(ftdiRate(2000000), 2000000u);
    EXPECT_EQ(ftdiRate(3000000), 3000000u);
    EXPECT_EQ(ftdiRate(115200), 115384u);
    EXPECT_EQ(ftdiRate(100), 220u) << "a divisor past 14 bits spills into the eighths";
    EXPECT_TRUE(rateClose(115384, 115200));
    EXPECT_TRUE(rateClose(9600, 9600));
    EXPECT_FALSE(rateClose(28800, 31250));
    EXPECT_FALSE(rateClose(220, 100));
}

TEST(Settings, EachFormatAndHandshakeMapsToItsFlagsAndBack)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (BYTE bits = 5; bits <= 8; bits++)
        for (BYTE parity = 0; parity <= 4; parity++) // none, odd, even, mark, space
            for (BYTE stop : {(BYTE)ONESTOPBIT, (BYTE)(bits == 5 ? 1 : 2)}) // 1.5 goes with 5 data bits
                for (int flow = 0; flow < 3; flow++) {
                    SCOPED_TRACE(testing::Message() << (int)bits << " bits, parity " << (int)parity << ", stop "
                                                    << (int)stop << ", flow " << flow);
                    DCB dcb = {};
                    dcb.BaudRate = 19200;
                    dcb.ByteSize = bits;
                    dcb.Parity = parity;
                    dcb.StopBits = stop;
                    dcb.fOutxCtsFlow = flow == 1;
                    dcb.fOutX = dcb.fInX = flow == 2;
                    dcb.XonChar = 0x11;
                    dcb.XoffChar = 0x13;
                    struct termios t = cooked();
                    bool standard = false;
                    ASSERT_TRUE(termiosFromDcb(dcb, &t, &standard));
                    EXPECT_TRUE(standard);
                    EXPECT_EQ(t.c_cflag & CSIZE, sizes[bits - 5]);
                    EXPECT_EQ((t.c_cflag & PARENB) != 0, parity != 0);
                    EXPECT_EQ((t.c_cflag & PARODD) != 0, parity == 1 || parity == 3);
                    EXPECT_EQ((t.c_cflag & CMSPAR) != 0, parity >= 3);
                    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stop != ONESTOPBIT);
                    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, flow == 1);
                    EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) != 0, flow == 2);
                    EXPECT_TRUE(t.c_cflag & CREAD && t.c_cflag & CLOCAL);
                    // Raw whatever came before: no echo, no line editing, no mapping.
                    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
                    EXPECT_EQ(t.c_oflag & OPOST, 0u);
                    EXPECT_EQ(t.c_iflag & (ICRNL | IXANY | IGNPAR | INPCK), 0u);
                    EXPECT_EQ(t.c_cc[VMIN], 1);
                    EXPECT_EQ(t.c_cc[VTIME], 0);
                    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);

                    DCB back = {};
                    back.DCBlength = 28;
                    dcbFromTermios(t, -1, &back);
                    EXPECT_EQ(back.DCBlength, 28u);
                    EXPECT_EQ(back.BaudRate, 19200u);
                    EXPECT_EQ(back.ByteSize, bits);
                    EXPECT_EQ(back.Parity, parity);
                    EXPECT_EQ(back.StopBits, stop);
                    EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
                    EXPECT_EQ(back.fRtsControl, flow == 1 ? 2u : 0u);
                    EXPECT_EQ(back.fOutX, dcb.fOutX);
                    EXPECT_EQ(back.fInX, dcb.fInX);
                    EXPECT_EQ(back.XonChar, 0x11);
                    EXPECT_EQ(back.XoffChar, 0x13);
                }
}

TEST(Settings, ModemLinesReadBackAsTheDeviceHasThemOrOffWhenItHasNone)
{
    struct termios t = cooked();
    DCB dcb = {};
    dcbFromTermios(t, TIOCM_DTR | TIOCM_RTS, &dcb);
    EXPECT_EQ(dcb.fDtrControl, 1u);
    EXPECT_EQ(dcb.fRtsControl, 1u);
    dcbFromTermios(t, 0, &dcb);
    EXPECT_EQ(dcb.fDtrControl, 0u);
    EXPECT_EQ(dcb.fRtsControl, 0u);
    dcbFromTermios(t, -1, &dcb);
    EXPECT_EQ(dcb.fDtrControl, 0u);
    EXPECT_EQ(dcb.fRtsControl, 0u);
}

TEST(Settings, WhatTermiosCannotDoIsRefusedAndTheRecordLeftAsItWas)
{
    DCB good = {};
    good.BaudRate = 9600;
    good.ByteSize = 8;
    std::vector<std::pair<const char *, std::function<void(DCB &)>>> cases = {
        {"rate 0", [](DCB &d) { d.BaudRate = 0; }},
        {"4 data bits", [](DCB &d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB &d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB &d) { d.Parity = 5; }},
        {"1.5 stop bits after 8 data bits", [](DCB &d) { d.StopBits = 1; }},
        {"2 stop bits after 5 data bits", [](DCB &d) { d.ByteSize = 5, d.StopBits = 2; }},
        {"stop bits 3", [](DCB &d) { d.StopBits = 3; }},
        {"DSR handshake", [](DCB &d) { d.fOutxDsrFlow = 1; }},
        {"DSR sensitivity", [](DCB &d) { d.fDsrSensitivity = 1; }},
        {"DTR handshake", [](DCB &d) { d.fDtrControl = 2; }},
        {"RTS toggle beside the CTS handshake", [](DCB &d) { d.fRtsControl = 3, d.fOutxCtsFlow = 1; }},
    };
    for (auto &c : cases) {
        DCB dcb = good;
        c.second(dcb);
        struct termios before = cooked(), t = before;
        bool standard = true;
        EXPECT_FALSE(termiosFromDcb(dcb, &t, &standard)) << c.first;
        EXPECT_EQ(memcmp(&t, &before, sizeof t), 0) << c.first << " changed the record";
    }
    struct termios t = cooked();
    bool standard = true;
    EXPECT_TRUE(termiosFromDcb(good, &t, &standard));
}

} // namespace settings
