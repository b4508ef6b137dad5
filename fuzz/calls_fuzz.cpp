// Random sequences of the four native methods over the recording fake, with
// random devices, driver failures and received bytes. After every call it
// checks what a caller relies on and aborts on the first violation; ASan and
// UBSan catch overruns and undefined behaviour along the way.
//
// Input: one byte of devices present at the start, then operations, each an
// opcode byte followed by its arguments. Missing bytes read as zero, so every
// input is a valid program.
#include "SerialPort.h"
#include "fake_win32.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;

    bool more() const { return n > 0; }
    uint8_t byte()
    {
        if (!n)
            return 0;
        --n;
        return *p++;
    }
    int32_t i32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return int32_t(v);
    }
};

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "invariant violated: %s %s\n", what, detail.c_str());
    abort();
}

#define CHECK(cond, detail)         \
    do {                            \
        if (!(cond))                \
            fail(#cond, (detail));  \
    } while (0)

std::string deviceName(int32_t port)
{
    return "\\\\.\\COM" + std::to_string(port);
}

// Port numbers worth hitting far more often than a random int would: the
// ends of the range, numbers with no device, and the ones the input added.
const int32_t interesting[] = {1, 2, 10, 255, 0, -1, INT_MIN, INT_MAX, 9, 100000};

struct Harness {
    Reader in;
    std::vector<int32_t> added; // port numbers of devices the input created
    bool open = false;          // what the calls so far say: a port is open

    void devicesAtStart()
    {
        const int32_t fixed[] = {1, 2, 10, INT_MIN, INT_MAX, 0, 256, -1};
        uint8_t present = in.byte();
        for (int i = 0; i < 8; ++i)
            if (present & (1u << i))
                fake.devices.insert(deviceName(fixed[i]));
    }

    int32_t port()
    {
        uint8_t sel = in.byte();
        const size_t fixed = sizeof interesting / sizeof interesting[0];
        if (sel < fixed)
            return interesting[sel];
        if (sel < 128 && !added.empty())
            return added[sel % added.size()];
        return in.i32();
    }

    void checkAlways(const char *after)
    {
        CHECK(fake.misuse == 0, after);
        CHECK(fake.handles.size() <= 1, after);
        CHECK(fake.handles.size() == (open ? 1u : 0u), after);
    }

    void init()
    {
        int32_t p = port();
        int32_t baud = in.i32();
        std::string name = deviceName(p);
        // The earlier port is closed first, so only the device and the driver decide.
        bool canOpen = fake.devices.count(name) != 0;
        bool configures = baud > 0 && !fake.failSetupComm && !fake.failGetCommState && !fake.failSetCommState;
        size_t opensBefore = fake.opens.size();
        size_t appliedBefore = fake.applied.size();

        bool ok = Java_SerialPort_init(nullptr, nullptr, p, baud);
        open = ok;

        CHECK(fake.opens.size() == opensBefore + 1, name);
        CHECK(fake.opens.back().name == name, name + " opened as " + fake.opens.back().name);
        CHECK(ok == (canOpen && configures), name);
        if (ok) {
            CHECK(fake.handles.size() == 1, name);
            CHECK(fake.handles.begin()->second == name, name);
            CHECK(fake.applied.size() == appliedBefore + 1, name);
            CHECK(fake.applied.back().BaudRate == DWORD(baud), name);
        } else {
            CHECK(fake.handles.empty(), name);
        }
        checkAlways("init");
    }

    void recc()
    {
        bool waiting = !fake.rx.empty();
        unsigned char next = waiting ? fake.rx.front() : 0;
        size_t before = fake.rx.size();

        jint r = Java_SerialPort_recc(nullptr, nullptr);

        CHECK(r >= -1 && r <= 255, std::to_string(r));
        if (r >= 0) {
            CHECK(open, "byte from a port that is not open");
            CHECK(waiting, "byte reported with none received");
            CHECK(r == next, std::to_string(r) + " instead of " + std::to_string(next));
            CHECK(fake.rx.size() == before - 1, "recc");
        } else {
            // A byte that was read must be handed over, never dropped.
            CHECK(fake.rx.size() == before, "byte read and lost");
            CHECK(!(open && waiting), "waiting byte not returned");
        }
        checkAlways("recc");
    }

    void send()
    {
        int32_t b = in.i32();
        size_t before = fake.tx.size();
        bool driverTakes = open && !fake.failWrite && fake.writeTakes == 1;

        bool ok = Java_SerialPort_send(nullptr, nullptr, b);

        bool took = fake.tx.size() == before + 1;
        CHECK(fake.tx.size() <= before + 1, "send");
        if (ok) {
            CHECK(took, "true without a byte written");
            CHECK(fake.tx.back() == (unsigned char)(b & 0xFF), std::to_string(fake.tx.back()));
        }
        CHECK(ok == driverTakes, std::to_string(ok));
        checkAlways("send");
    }

    void close()
    {
        bool ok = Java_SerialPort_close(nullptr, nullptr);
        CHECK(ok == open, std::to_string(ok));
        open = false;
        CHECK(fake.handles.empty(), "close");
        checkAlways("close");
    }

    void faults()
    {
        uint8_t f = in.byte();
        fake.failSetupComm = f & 1;
        fake.failGetCommState = f & 2;
        fake.failSetCommState = f & 4;
        fake.failSetCommTimeouts = f & 8;
        fake.failWrite = f & 16;
        fake.writeTakes = (f & 32) ? 0 : 1; // a write that times out having sent nothing
    }

    void receive()
    {
        for (int n = in.byte() % 8; n > 0; --n)
            fake.rx.push_back(in.byte());
    }

    // Plugs a device in, or pulls it out; an open handle stays valid either way.
    void device()
    {
        int32_t p = in.i32();
        std::string name = deviceName(p);
        if (fake.devices.erase(name))
            return;
        fake.devices.insert(name);
        if (added.size() < 16)
            added.push_back(p);
    }

    void run()
    {
        devicesAtStart();
        checkAlways("start");
        while (in.more()) {
            switch (in.byte() % 7) {
            case 0: init(); break;
            case 1: recc(); break;
            case 2: send(); break;
            case 3: close(); break;
            case 4: faults(); break;
            case 5: receive(); break;
            case 6: device(); break;
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Every input starts with no port open and a fresh fake.
    Java_SerialPort_close(nullptr, nullptr);
    fake.reset();

    Harness h{{data, size}, {}, false};
    h.run();
    return 0;
}
