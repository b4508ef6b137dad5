// The recording fake's stand-ins for the named API's natives' tests: a
// JNIEnv that checks its array ranges as a JVM does, and a fixture that
// opens lines on the fake's COM3 and COM4.
#ifndef RUVEK_TESTS_LINES_FIXTURE_H
#define RUVEK_TESTS_LINES_FIXTURE_H

#include "ruvek_LineNatives.h"
#include "fake_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>


// Waits until a read waits in the fake; false after 20 seconds, which only a fault spends.
inline bool aReadWaits()
{
    std::unique_lock<std::mutex> hold(fake.lock);
    return fake.changed.wait_for(hold, std::chrono::seconds(20), [] { return fake.readsWaiting > 0; });
}

// A refusal at open, with the field refused in the low byte (0: none named).
inline constexpr jlong SETTINGS_REFUSED = 0x20000000;

// A JNIEnv that has the four functions the natives use; a jbyteArray is a
// std::vector<jbyte> in disguise. A region outside its array copies nothing
// and leaves an exception pending, as a JVM's does.
inline std::vector<jbyte> &vec(jarray a) { return *reinterpret_cast<std::vector<jbyte> *>(a); }
inline bool thrown = false;
inline bool inRange(jarray a, jsize off, jsize n)
{
    bool in = off >= 0 && n >= 0 && off <= (jsize)vec(a).size() - n;
    thrown = thrown || !in;
    return in;
}
inline jsize JNICALL length(JNIEnv *, jarray a) { return (jsize)vec(a).size(); }
inline void JNICALL getRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, jbyte *out)
{
    if (inRange(a, off, n))
        std::memcpy(out, vec(a).data() + off, n);
}
inline void JNICALL setRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, const jbyte *in)
{
    if (inRange(a, off, n))
        std::memcpy(vec(a).data() + off, in, n);
}
inline jboolean JNICALL exceptionCheck(JNIEnv *) { return thrown ? JNI_TRUE : JNI_FALSE; }

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

inline jint setFormat(jlong line, jint baud, jint bits, jint parity, jint stop, jint flow, jint options = 0)
{
    return Java_ruvek_LineNatives_setFormat(nullptr, nullptr, line, baud, bits, parity, stop, flow, options);
}

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

    // Every call on the line but open, cancel and close answers this.
    void everyCallGives(jlong line, jint answer)
    {
        std::vector<jbyte> b(4, 'c');
        EXPECT_EQ(read(line, b, 0), answer) << "read";
        EXPECT_EQ(write(line, b), answer) << "write";
        EXPECT_EQ(Java_ruvek_LineNatives_available(env, nullptr, line), answer) << "available";
        EXPECT_EQ(setFormat(line, 9600, 7, EVENPARITY, ONESTOPBIT, 0), answer) << "setFormat";
        EXPECT_EQ(Java_ruvek_LineNatives_getFormat(nullptr, nullptr, line), (jlong)answer) << "getFormat";
        EXPECT_EQ(Java_ruvek_LineNatives_escape(nullptr, nullptr, line, SETDTR), answer) << "escape";
        EXPECT_EQ(Java_ruvek_LineNatives_modemStatus(nullptr, nullptr, line), answer) << "modemStatus";
        EXPECT_EQ(Java_ruvek_LineNatives_sendBreak(nullptr, nullptr, line, 1), answer) << "sendBreak";
        EXPECT_EQ(Java_ruvek_LineNatives_drain(nullptr, nullptr, line), answer) << "drain";
        EXPECT_EQ(Java_ruvek_LineNatives_purge(nullptr, nullptr, line, PURGE_RXCLEAR), answer) << "purge";
    }
};

#endif
