// The named API's line-control natives over the recording fake: formats
// set field by field and read back, refusals named by their field with the
// line put back, the options a driver may ignore, modem lines, break, drain
// and purge.
#include "lines_fixture.h"

namespace {

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
