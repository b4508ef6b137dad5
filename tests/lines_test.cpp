// The named API's natives over the recording fake: how a line opens, reads,
// writes and is cancelled, in Win32 calls, and that no failed open leaves a
// handle behind.
#include "ruvek_LineNatives.h"
#include "fake_win32.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A refusal at open, with the field refused in the low byte (0: none named).
constexpr jlong SETTINGS_REFUSED = 0x20000000;

// A JNIEnv that has the four functions the natives use; a jbyteArray is a
// std::vector<jbyte> in disguise. A region outside its array copies nothing
// and leaves an exception pending, as a JVM's does.
std::vector<jbyte> &vec(jarray a) { return *reinterpret_cast<std::vector<jbyte> *>(a); }
bool thrown = false;
bool inRange(jarray a, jsize off, jsize n)
{
    bool in = off >= 0 && n >= 0 && off <= (jsize)vec(a).size() - n;
    thrown = thrown || !in;
    return in;
}
jsize JNICALL length(JNIEnv *, jarray a) { return (jsize)vec(a).size(); }
void JNICALL getRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, jbyte *out)
{
    if (inRange(a, off, n))
        std::memcpy(out, vec(a).data() + off, n);
}
void JNICALL setRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, const jbyte *in)
{
    if (inRange(a, off, n))
        std::memcpy(vec(a).data() + off, in, n);
}
jboolean JNICALL exceptionCheck(JNIEnv *) { return thrown ? JNI_TRUE : JNI_FALSE; }

struct Env {
    JNINativeInterface_ table = {};
    JNIEnv env;
    Env()
    {
        table.GetArrayLength = length;
        table.GetByteArrayRegion = getRegion;
        table.SetByteArrayRegion = setRegion;
        table.ExceptionCheck = exceptionCheck;
        env.functions = &table;
    }
};

class Lines : public ::testing::Test {
protected:
    Env e;
    JNIEnv *env = &e.env;

    void SetUp() override
    {
        fake.reset();
        fake.devices = {"\\\\.\\COM3", "\\\\.\\COM4"};
        fake.reported.BaudRate = 300;
        fake.rememberState = true; // a driver that keeps what it takes, as the natives read back
    }
    void TearDown() override
    {
        EXPECT_EQ(fake.misuse, 0);
        EXPECT_FALSE(thrown) << "a native copied outside an array";
        thrown = false;
    }

    jlong open(const std::string &name, jint baud = 9600, jint bits = 8, jint parity = NOPARITY,
               jint stop = ONESTOPBIT, jint flow = 0)
    {
        std::vector<jbyte> bytes(name.begin(), name.end());
        bytes.push_back(0);
        return Java_ruvek_LineNatives_open(env, nullptr, reinterpret_cast<jbyteArray>(&bytes), baud, bits, parity,
                                           stop, flow, 0);
    }
    jint read(jlong line, std::vector<jbyte> &b, jint timeout)
    {
        return Java_ruvek_LineNatives_read(env, nullptr, line, reinterpret_cast<jbyteArray>(&b), 0, (jint)b.size(),
                                           timeout);
    }
    jint write(jlong line, std::vector<jbyte> &b)
    {
        return Java_ruvek_LineNatives_write(env, nullptr, line, reinterpret_cast<jbyteArray>(&b), 0, (jint)b.size());
    }
    bool close(jlong line) { return Java_ruvek_LineNatives_close(env, nullptr, line); }
};

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

// A driver whose record differs from every value a format sets, with its
// other fields all set, so that a stray change shows.
DCB busyDriver()
{
    DCB d = {};
    d.DCBlength = sizeof d;
    d.BaudRate = 300;
    d.ByteSize = 6;
    d.Parity = 4;
    d.StopBits = 2;
    d.fBinary = 1;
    d.fTXContinueOnXoff = 1;
    d.fErrorChar = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 100;
    d.XoffLim = 200;
    d.XonChar = 0x21;
    d.XoffChar = 0x23;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    return d;
}

jint setFormat(jlong line, jint baud, jint bits, jint parity, jint stop, jint flow, jint options = 0)
{
    return Java_ruvek_LineNatives_setFormat(nullptr, nullptr, line, baud, bits, parity, stop, flow, options);
}

TEST_F(Lines, EachFormatSetsExactlyItsFieldsAndReadsBackAsApplied)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rememberState = true;
    for (jint bits = 5; bits <= 8; bits++)
        for (jint parity = NOPARITY; parity <= SPACEPARITY; parity++)
            for (jint stop = ONESTOPBIT; stop <= TWOSTOPBITS; stop++)
                for (jint flow = 0; flow <= 2; flow++) {
                    SCOPED_TRACE(testing::Message() << bits << " bits, parity " << parity << ", stop " << stop
                                                    << ", flow " << flow);
                    DCB driver = busyDriver();
                    fake.reported = driver;
                    fake.applied.clear();
                    ASSERT_EQ(setFormat(line, 19200, bits, parity, stop, flow), 0);
                    ASSERT_EQ(fake.applied.size(), 1u) << "one SetCommState when the driver takes it";
                    DCB want = driver;
                    want.BaudRate = 19200;
                    want.ByteSize = (BYTE)bits;
                    want.Parity = (BYTE)parity;
                    want.fParity = parity != NOPARITY;
                    want.StopBits = (BYTE)stop;
                    want.fOutxCtsFlow = flow == 1;
                    want.fRtsControl = flow == 1 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
                    want.fOutX = want.fInX = flow == 2;
                    if (flow == 2) {
                        want.XonChar = 0x11;
                        want.XoffChar = 0x13;
                    }
                    EXPECT_EQ(std::memcmp(&fake.applied[0], &want, sizeof want), 0);
                    jlong packed = Java_ruvek_LineNatives_getFormat(nullptr, nullptr, line);
                    EXPECT_EQ(packed, 19200 | (jlong)bits << 32 | (jlong)parity << 40 | (jlong)stop << 48 |
                                          (jlong)flow << 56);
                }
    // Leaving RTS/CTS lowers RTS, as a line opens, rather than leave the driver driving it.
    fake.reported.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0), 0);
    EXPECT_EQ(fake.applied.back().fRtsControl, (DWORD)RTS_CONTROL_DISABLE);
    // XON/XOFF on a driver with no limits gets some that Windows takes.
    fake.reported.XonLim = fake.reported.XoffLim = 0;
    ASSERT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 2), 0);
    EXPECT_GT(fake.applied.back().XonLim, 0);
    EXPECT_GT(fake.applied.back().XoffLim, 0);
    EXPECT_TRUE(close(line));
}

TEST_F(Lines, ARefusedFormatNamesItsFieldAndPutsTheLineBackAsItWas)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.rememberState = true;
    DCB driver = busyDriver();
    driver.ByteSize = 8, driver.Parity = NOPARITY, driver.StopBits = ONESTOPBIT;
    fake.reported = driver;
    struct Case {
        bool (*refuse)(const DCB &);
        jint bits, parity, stop, flow;
        jint field;
    } cases[] = {
        {[](const DCB &d) { return d.BaudRate == 31250; }, 8, NOPARITY, ONESTOPBIT, 0, 1},
        {[](const DCB &d) { return d.ByteSize == 7; }, 7, EVENPARITY, ONESTOPBIT, 0, 2},
        {[](const DCB &d) { return d.Parity != NOPARITY; }, 8, MARKPARITY, ONESTOPBIT, 0, 3},
        {[](const DCB &d) { return d.StopBits == ONE5STOPBITS; }, 8, NOPARITY, ONE5STOPBITS, 0, 4},
        {[](const DCB &d) { return d.fOutX != 0; }, 8, NOPARITY, ONESTOPBIT, 2, 5},
        // Refused only together: the stop bits, whose sense hangs on the data bits.
        {[](const DCB &d) { return d.ByteSize == 5 && d.StopBits == TWOSTOPBITS; }, 5, NOPARITY, TWOSTOPBITS, 0, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "field " << c.field);
        fake.refuseState = c.refuse;
        fake.applied.clear();
        EXPECT_EQ(setFormat(line, c.field == 1 ? 31250 : 9600, c.bits, c.parity, c.stop, c.flow), c.field);
        ASSERT_FALSE(fake.applied.empty());
        EXPECT_EQ(std::memcmp(&fake.applied.back(), &driver, sizeof driver), 0) << "not put back as it was";
        EXPECT_EQ(std::memcmp(&fake.reported, &driver, sizeof driver), 0);
    }
    fake.refuseState = nullptr;
    // Values no line has never reach the driver.
    fake.applied.clear();
    for (auto bad : {std::vector<jint>{0, 8, 0, 0, 0}, {9600, 4, 0, 0, 0}, {9600, 9, 0, 0, 0}, {9600, 8, 5, 0, 0},
                     {9600, 8, 0, 3, 0}, {9600, 8, 0, 0, 3}, {9600, 8, -1, 0, 0}})
        EXPECT_EQ(setFormat(line, bad[0], bad[1], bad[2], bad[3], bad[4]), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(fake.applied.empty());
    EXPECT_TRUE(close(line));
}

// Asked for at open, a format the driver refuses is named by its field,
// the refused rate too: the raw line is then set at the driver's own rate.
TEST_F(Lines, AFormatRefusedAtOpenNamesItsFieldAndLeavesNothingOpen)
{
    fake.rememberState = true;
    fake.reported.BaudRate = 9600;
    fake.refuseState = [](const DCB &d) { return d.ByteSize == 7; };
    EXPECT_EQ(open("\\\\.\\COM3", 9600, 7, EVENPARITY, ONESTOPBIT, 0), -(SETTINGS_REFUSED | 2));
    EXPECT_TRUE(fake.handles.empty());
    fake.refuseState = [](const DCB &d) { return d.BaudRate == 31250; };
    EXPECT_EQ(open("\\\\.\\COM3", 31250, 7, EVENPARITY, ONESTOPBIT, 0), -(SETTINGS_REFUSED | 1));
    EXPECT_TRUE(fake.handles.empty());
    fake.refuseState = nullptr;
    jlong line = open("\\\\.\\COM3", 31250, 7, EVENPARITY, TWOSTOPBITS, 1);
    ASSERT_GT(line, 0);
    EXPECT_EQ(Java_ruvek_LineNatives_getFormat(nullptr, nullptr, line),
              31250 | (jlong)7 << 32 | (jlong)EVENPARITY << 40 | (jlong)TWOSTOPBITS << 48 | (jlong)1 << 56);
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
        EXPECT_EQ(read(line, b, 0), removed);
        EXPECT_EQ(write(line, b), removed);
        EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, line), removed);
        EXPECT_EQ(setFormat(line, 9600, 7, EVENPARITY, ONESTOPBIT, 0), removed) << "a gone device is no refusal";
        EXPECT_EQ(Java_ruvek_LineNatives_getFormat(nullptr, nullptr, line), (jlong)removed);
        EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, SETDTR), removed);
        EXPECT_EQ(Java_ruvek_LineNatives_modemStatus(nullptr, nullptr, line), removed);
        EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, line, 1), removed);
        EXPECT_EQ(Java_ruvek_LineNatives_drain(nullptr, nullptr, line), removed);
        EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_RXCLEAR), removed);
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

// Low latency and RS-485 are options a driver may ignore without a word, as
// Windows does the reserved bit that carries low latency: what the driver
// reads back says whether it took them.
TEST_F(Lines, LowLatencyAndRs485AreKeptWhereTheDriverKeepsThemAndRefusedByNameWhereNot)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    DCB driver = busyDriver();
    fake.reported = driver;
    fake.rememberState = true;
    ASSERT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0, 1), 0);
    EXPECT_EQ(fake.applied.back().fDummy2 & 1u, 1u);
    ASSERT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 2, 3), 0) << "RS-485 with XON/XOFF";
    EXPECT_EQ(fake.applied.back().fRtsControl, 3u);
    EXPECT_EQ(Java_ruvek_LineNatives_getFormat(nullptr, nullptr, line) >> 56, (jlong)(2 | 3 << 4));
    ASSERT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0, 0), 0);
    EXPECT_EQ(fake.applied.back().fRtsControl, (DWORD)RTS_CONTROL_DISABLE) << "RTS left to a toggle no longer asked";
    EXPECT_EQ(fake.applied.back().fDummy2 & 1u, 0u);
    EXPECT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 1, 2), -(jint)ERROR_INVALID_PARAMETER)
        << "RS-485 and RTS/CTS both want RTS";
    EXPECT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0, 4), -(jint)ERROR_INVALID_PARAMETER);

    // A driver that keeps all but these: each is refused by name, and the line put back.
    DCB keeps = driver;
    keeps.BaudRate = 9600, keeps.ByteSize = 8, keeps.Parity = NOPARITY, keeps.StopBits = ONESTOPBIT;
    fake.rememberState = false;
    fake.reported = keeps;
    fake.applied.clear();
    EXPECT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0, 1), 6);
    EXPECT_EQ(std::memcmp(&fake.applied.back(), &keeps, sizeof keeps), 0) << "not put back as it was";
    EXPECT_EQ(setFormat(line, 9600, 8, NOPARITY, ONESTOPBIT, 0, 2), 7);
    EXPECT_EQ(std::memcmp(&fake.applied.back(), &keeps, sizeof keeps), 0) << "not put back as it was";
    EXPECT_TRUE(close(line));
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
    const jint aborted = -(jint)ERROR_OPERATION_ABORTED;
    std::vector<jbyte> b(10, 'w');
    EXPECT_EQ(read(line, b, 0), aborted);
    EXPECT_EQ(write(line, b), aborted);
    EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, line), aborted);
    EXPECT_EQ(setFormat(line, 9600, 7, EVENPARITY, ONESTOPBIT, 0), aborted);
    EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, SETDTR), aborted);
    EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, line, 1), aborted);
    EXPECT_EQ(Java_ruvek_LineNatives_drain(nullptr, nullptr, line), aborted);
    EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_RXCLEAR), aborted);
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

// A driver that takes a record without a word and keeps something else, as
// Wine's does: the field that differs is refused, and the line put back.
TEST_F(Lines, WhatTheDriverReadsBackIsWhatWasAskedOrTheFieldThatDiffersIsRefused)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    DCB was = fake.reported;
    struct Case {
        void (*alter)(DCB &);
        jint baud, bits, parity, stop;
        jint field;
    } cases[] = {
        {[](DCB &d) { if (d.BaudRate == 1) d.BaudRate = 38400; }, 1, 8, NOPARITY, ONESTOPBIT, 1},
        {[](DCB &d) { if (d.ByteSize == 5) d.ByteSize = 8, d.StopBits = TWOSTOPBITS; }, 9600, 5, NOPARITY, ONESTOPBIT, 2},
        {[](DCB &d) { if (d.Parity == MARKPARITY) d.Parity = 8; }, 9600, 6, MARKPARITY, ONESTOPBIT, 3},
        {[](DCB &d) { if (d.StopBits == TWOSTOPBITS) d.StopBits = ONESTOPBIT; }, 9600, 8, NOPARITY, TWOSTOPBITS, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "field " << c.field);
        fake.alterState = c.alter;
        EXPECT_EQ(setFormat(line, c.baud, c.bits, c.parity, c.stop, 0), c.field);
        EXPECT_EQ(std::memcmp(&fake.reported, &was, sizeof was), 0) << "not put back as it was";
    }
    // A rate the driver makes a little off is the rate it runs at, not a refusal.
    fake.alterState = [](DCB &d) { d.BaudRate = 115384; };
    EXPECT_EQ(setFormat(line, 115200, 8, NOPARITY, ONESTOPBIT, 0), 0);
    fake.alterState = nullptr;
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
        EXPECT_EQ(read(bad, b, 0), invalid);
        EXPECT_EQ(write(bad, b), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, bad), invalid);
        EXPECT_EQ(setFormat(bad, 9600, 8, NOPARITY, ONESTOPBIT, 0), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_getFormat(nullptr, nullptr, bad), (jlong)invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, bad, SETDTR), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_modemStatus(nullptr, nullptr, bad), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, bad, 1), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_drain(nullptr, nullptr, bad), invalid);
        EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, bad, PURGE_RXCLEAR), invalid);
        Java_ruvek_LineNatives_cancel(nullptr, nullptr, bad);
        EXPECT_FALSE(close(bad));
    }
    EXPECT_EQ(write(reopened, b), 4) << "the open lines still work";
    EXPECT_EQ(write(other, b), 4);
    EXPECT_TRUE(close(reopened));
    EXPECT_TRUE(close(other));
    EXPECT_TRUE(fake.handles.empty());
}

TEST_F(Lines, ModemLinesBreakDrainAndPurgeEachMakeTheirCall)
{
    jlong line = open("\\\\.\\COM3");
    ASSERT_GT(line, 0);
    fake.calls.clear();
    EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, SETDTR), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, CLRRTS), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, 7), -(jint)ERROR_INVALID_PARAMETER);
    fake.modemStatus = MS_CTS_ON | MS_RLSD_ON;
    EXPECT_EQ(Java_ruvek_LineNatives_modemStatus(nullptr, nullptr, line), (jint)(MS_CTS_ON | MS_RLSD_ON));
    EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, line, 5), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, line, -1), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Java_ruvek_LineNatives_drain(nullptr, nullptr, line), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_RXCLEAR), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_TXCLEAR), 0);
    EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_RXABORT), -(jint)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"EscapeCommFunction 5", "EscapeCommFunction 4",
                                                    "GetCommModemStatus", "SetCommBreak", "ClearCommBreak",
                                                    "FlushFileBuffers", "PurgeComm 8", "PurgeComm 4"}));
    // A device without modem lines says so; the break still ends.
    fake.noModemLines = true;
    EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, SETRTS), -(jint)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Java_ruvek_LineNatives_modemStatus(nullptr, nullptr, line), -(jint)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(close(line));
}

} // namespace
