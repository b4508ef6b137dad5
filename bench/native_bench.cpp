// Per-call cost of recc and send on a pseudo-terminal, measured two ways in
// the same kind of loop: straight read/write system calls on the device (the
// floor), and the library's natives called from C++ (no JVM in between).
//
// usage: native_bench MODE raw|fionread|bulk|lib OURS PEER PORT COUNT
//   MODE   recc-empty | recc-waiting | send | echo | receive
//   WHO    raw: a one-byte read(2) per recc; fionread: FIONREAD first, then
//          such a read when it counts a byte; bulk (receive only): 4 KiB
//          read(2)s; lib: the library's natives
//   OURS   our end of the null-modem (raw), PORT the COM number that maps to it (lib)
//   PEER   the far end, written here for recc-waiting (send: drained by another
//          process; echo: socat echoes; receive: another process writes as
//          fast as the pty takes it)
//   COUNT  calls per round (bytes in all, for echo and receive)
// Prints "MODE WHO VALUE UNIT": the median of the rounds' ns per call, or bytes per second.
//
// The floors for a blocking line, WHO raw, on OURS alone:
//   idle       CPU % of one core of a thread blocked in read(2) for COUNT ms
//   wake       µs from a byte's write at PEER until a thread blocked in read(2)
//              returns it, over COUNT bytes: median, 99th percentile, maximum
//   close      ms from waking a thread blocked in poll(2) on the device and a
//              wake pipe until its return, median of COUNT
//   recv-bulk  bytes per second in 64 KiB read(2)s, COUNT bytes (the far end writes)
//   send-bulk  bytes per second in 64 KiB write(2)s, COUNT bytes (the far end drains)
//   rtt        µs for a byte written to an echoing peer to come back, median of COUNT
// and with WHO poll, wake and rtt waiting as SerialLine's natives do: a read
// that finds nothing, then poll(2) on the device and a wake pipe, then the read.
#include "SerialPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <pthread.h>
#include <random>
#include <string>
#include <thread>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int ROUNDS = 15;

double nsSince(Clock::time_point start)
{
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

int rawFd = -1;

// The floor: the device opened and set up as the library does it.
void rawOpen(const char *path)
{
    rawFd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios t;
    if (rawFd < 0 || flock(rawFd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(rawFd, &t) != 0) {
        perror(path);
        exit(1);
    }
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, B115200);
    tcsetattr(rawFd, TCSANOW, &t);
}

struct Raw {
    static int recc()
    {
        unsigned char b;
        return read(rawFd, &b, 1) == 1 ? b : -1;
    }
    static bool send(int b)
    {
        unsigned char c = (unsigned char)b;
        for (;;) {
            ssize_t n = write(rawFd, &c, 1);
            if (n == 1)
                return true;
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            struct pollfd p = {rawFd, POLLOUT, 0}; // a full queue: wait, as the library does
            poll(&p, 1, -1);
        }
    }
};

// The cheaper empty poll: ask the driver how much is waiting before reading.
struct Fionread {
    static int recc()
    {
        int waiting = 0;
        return ioctl(rawFd, FIONREAD, &waiting) == 0 && waiting > 0 ? Raw::recc() : -1;
    }
    static bool send(int b) { return Raw::send(b); }
};

struct Lib {
    static int recc() { return Java_SerialPort_recc(nullptr, nullptr); }
    static bool send(int b) { return Java_SerialPort_send(nullptr, nullptr, b); }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class P> double reccEmpty(long count)
{
    std::vector<double> rounds;
    for (int r = 0; r < ROUNDS; r++) {
        long sum = 0;
        auto start = Clock::now();
        for (long i = 0; i < count; i++)
            sum += P::recc();
        double ns = nsSince(start);
        if (sum != -count) {
            fprintf(stderr, "a byte arrived while none was sent\n");
            exit(1);
        }
        rounds.push_back(ns / (double)count);
    }
    return median(rounds);
}

// Each round: the peer writes a batch that fits the device's queue, waits
// until it is there, then the batch is read back one call a byte.
template <class P> double reccWaiting(int peer, long count)
{
    const long batch = 4000;
    std::vector<char> bytes(batch, 'w');
    std::vector<double> rounds;
    for (int tries = 0; (int)rounds.size() < ROUNDS && tries < ROUNDS * 4; tries++) {
        double ns = 0;
        long got = 0, calls = 0;
        while (calls < count) {
            if (write(peer, bytes.data(), batch) != batch) {
                perror("peer write");
                exit(1);
            }
            usleep(30000);
            auto start = Clock::now();
            for (long i = 0; i < batch; i++)
                got += P::recc() >= 0;
            ns += nsSince(start);
            calls += batch;
            while (P::recc() >= 0) {
                // late bytes: this round does not count
            }
        }
        if (got == calls)
            rounds.push_back(ns / (double)calls);
    }
    if ((int)rounds.size() < ROUNDS / 2) {
        fprintf(stderr, "bytes kept arriving late\n");
        exit(1);
    }
    return median(rounds);
}

// The far end is drained by another process (the bench script's cat), the
// same for every side measured.
template <class P> double send(long count)
{
    std::vector<double> rounds;
    for (int r = 0; r < ROUNDS; r++) {
        auto start = Clock::now();
        for (long i = 0; i < count; i++)
            if (!P::send((int)i)) {
                fprintf(stderr, "send failed\n");
                exit(1);
            }
        rounds.push_back(nsSince(start) / (double)count);
    }
    return median(rounds);
}

// Bytes per second through an echoing peer, a window of bytes in flight.
template <class P> double echo(long total)
{
    const long window = 64;
    auto start = Clock::now();
    for (long done = 0; done < total; done += window) {
        for (long i = 0; i < window; i++)
            if (!P::send((int)(done + i))) {
                fprintf(stderr, "send failed\n");
                exit(1);
            }
        for (long i = 0; i < window;) {
            int b = P::recc();
            if (b < 0)
                continue;
            if (b != (int)((done + i) & 0xFF)) {
                fprintf(stderr, "echo changed byte %ld\n", done + i);
                exit(1);
            }
            i++;
        }
    }
    return (double)total / (nsSince(start) / 1e9);
}

// Bytes per second received one recc at a time while the far end writes
// as fast as the pty takes it.
template <class P> double receive(long total)
{
    auto start = Clock::now();
    for (long got = 0; got < total;)
        got += P::recc() >= 0;
    return (double)total / (nsSince(start) / 1e9);
}

// The floor for receive: what the same pty moves in 4 KiB read(2)s.
double receiveBulk(long total)
{
    static char buf[4096];
    auto start = Clock::now();
    for (long got = 0; got < total;) {
        ssize_t n = read(rawFd, buf, sizeof buf);
        got += n > 0 ? n : 0;
    }
    return (double)total / (nsSince(start) / 1e9);
}

// WHO poll waits as SerialLine's natives do: a read that finds nothing, then
// poll(2) on the device and a wake pipe, then the read again. WHO raw blocks in read(2).
bool pollWait = false;
int wakePipe[2] = {-1, -1};

ssize_t waitRead(void *buf, size_t n)
{
    if (!pollWait)
        return read(rawFd, buf, n);
    for (;;) {
        ssize_t got = read(rawFd, buf, n);
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            return got;
        struct pollfd p[2] = {{rawFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        poll(p, 2, 250);
    }
}

// The descriptor as a blocking read uses it.
void blocking()
{
    if (pollWait) {
        if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("pipe");
            exit(1);
        }
        return; // the descriptor stays non-blocking
    }
    fcntl(rawFd, F_SETFL, fcntl(rawFd, F_GETFL) & ~O_NONBLOCK);
}

double threadCpuNs(pthread_t t)
{
    clockid_t c;
    struct timespec ts;
    if (pthread_getcpuclockid(t, &c) != 0 || clock_gettime(c, &ts) != 0) {
        perror("thread cpu clock");
        exit(1);
    }
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

double idle(long millis)
{
    blocking();
    std::thread reader([] {
        unsigned char b;
        if (read(rawFd, &b, 1) >= 0) {
            fprintf(stderr, "a byte arrived while none was sent\n");
            exit(1);
        }
    });
    usleep(200000);
    double cpu = threadCpuNs(reader.native_handle());
    auto start = Clock::now();
    usleep((useconds_t)(millis * 1000));
    double used = threadCpuNs(reader.native_handle()) - cpu;
    double percent = 100 * used / nsSince(start);
    reader.detach(); // still blocked: the process ends it
    return percent;
}

// Writes at the far end after gaps of 5-25 ms, long enough for the reader to
// be blocked again; each timed from the write to the blocked read's return.
// Returns the median, 99th percentile and maximum in µs.
std::vector<double> wake(int peer, long count)
{
    blocking();
    std::vector<double> us(count);
    std::atomic<long> sentNs{0};
    // The writer sleeps until the reader has its byte, as every other contender's does.
    sem_t got;
    sem_init(&got, 0, 0);
    std::thread reader([&] {
        for (long i = 0; i < count; i++) {
            unsigned char b;
            if (waitRead(&b, 1) != 1) {
                perror("read");
                exit(1);
            }
            us[i] = (nsSince(Clock::time_point()) - (double)sentNs.load()) / 1000.0;
            sem_post(&got);
        }
    });
    std::mt19937 gaps(7);
    for (long i = 0; i < count; i++) {
        usleep((useconds_t)(5000 + gaps() % 20000));
        sentNs.store((long)nsSince(Clock::time_point()));
        if (write(peer, "w", 1) != 1) {
            perror("peer write");
            exit(1);
        }
        while (sem_wait(&got) != 0) {
        }
    }
    reader.join();
    sem_destroy(&got);
    std::sort(us.begin(), us.end());
    return {us[count / 2], us[(size_t)((double)count * 0.99)], us[count - 1]};
}

// How soon a thread blocked on the device, as a closable read blocks (poll on
// the device and a wake pipe), returns once woken: the floor for close().
double closeWake(long count)
{
    std::vector<double> ms;
    for (long i = 0; i < count; i++) {
        int wake[2];
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("pipe");
            exit(1);
        }
        std::atomic<long> returnedNs{0};
        std::thread reader([&] {
            struct pollfd p[2] = {{rawFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            while (poll(p, 2, -1) < 0 && errno == EINTR) {
            }
            if (p[0].revents & POLLIN) {
                fprintf(stderr, "a byte arrived while none was sent\n");
                exit(1);
            }
            returnedNs.store((long)nsSince(Clock::time_point()));
        });
        usleep(100000);
        double start = nsSince(Clock::time_point());
        if (write(wake[1], "x", 1) != 1) {
            perror("wake");
            exit(1);
        }
        reader.join();
        ms.push_back(((double)returnedNs.load() - start) / 1e6);
        close(wake[0]);
        close(wake[1]);
    }
    return median(ms);
}

double recvBulk(long total)
{
    blocking();
    static char buf[65536];
    auto start = Clock::now();
    for (long got = 0; got < total;) {
        ssize_t n = read(rawFd, buf, sizeof buf);
        if (n < 0 && errno != EINTR) {
            perror("read");
            exit(1);
        }
        got += n > 0 ? n : 0;
    }
    return (double)total / (nsSince(start) / 1e9);
}

double sendBulk(long total)
{
    blocking();
    static char buf[65536];
    memset(buf, 's', sizeof buf);
    auto start = Clock::now();
    for (long sent = 0; sent < total;) {
        size_t want = (size_t)std::min<long>((long)sizeof buf, total - sent);
        for (size_t off = 0; off < want;) {
            ssize_t n = write(rawFd, buf + off, want - off);
            if (n < 0 && errno != EINTR) {
                perror("write");
                exit(1);
            }
            off += n > 0 ? (size_t)n : 0;
        }
        sent += (long)want;
    }
    return (double)total / (nsSince(start) / 1e9);
}

// One byte out to an echoing peer and back, as a blocking caller does it.
double roundTrip(long count)
{
    blocking();
    std::vector<double> us;
    for (long i = 0; i < count + count / 10; i++) {
        unsigned char out = (unsigned char)i, in;
        auto start = Clock::now();
        if (write(rawFd, &out, 1) != 1 || waitRead(&in, 1) != 1 || in != out) {
            fprintf(stderr, "the echo failed at round trip %ld\n", i);
            exit(1);
        }
        if (i >= count / 10) // the first tenth warms up
            us.push_back(nsSince(start) / 1000.0);
    }
    return median(us);
}

template <class P> double run(const std::string &mode, int peer, long count)
{
    if (mode == "recc-empty")
        return reccEmpty<P>(count);
    if (mode == "recc-waiting")
        return reccWaiting<P>(peer, count);
    if (mode == "send")
        return send<P>(count);
    if (mode == "echo")
        return echo<P>(count);
    if (mode == "receive")
        return receive<P>(count);
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: native_bench MODE raw|lib OURS PEER PORT COUNT\n");
        return 2;
    }
    std::string mode = argv[1], who = argv[2];
    long count = atol(argv[6]);
    int peer = -1;
    if (mode == "recc-waiting") {
        peer = open(argv[4], O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (peer < 0) {
            perror(argv[4]);
            return 1;
        }
    }
    pollWait = who == "poll" && (mode == "wake" || mode == "rtt");
    if ((who == "raw" || pollWait) && (mode == "idle" || mode == "wake" || mode == "close" || mode == "recv-bulk" ||
                            mode == "send-bulk" || mode == "rtt")) {
        rawOpen(argv[3]);
        if (mode == "wake") {
            int far = open(argv[4], O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (far < 0) {
                perror(argv[4]);
                return 1;
            }
            wake(far, 50); // warm-up, as the JVM's side has
            std::vector<double> w = wake(far, count);
            printf("%s %s %.1f %.1f %.1f us\n", mode.c_str(), who.c_str(), w[0], w[1], w[2]);
        } else if (mode == "idle") {
            printf("%s %s %.3f %%\n", mode.c_str(), who.c_str(), idle(count));
        } else if (mode == "close") {
            printf("%s %s %.3f ms\n", mode.c_str(), who.c_str(), closeWake(count));
        } else if (mode == "rtt") {
            printf("%s %s %.1f us\n", mode.c_str(), who.c_str(), roundTrip(count));
        } else {
            double (*bulk)(long) = mode == "recv-bulk" ? recvBulk : sendBulk;
            bulk(count / 4); // a warm-up, as the JVM's side has
            double bps = bulk(count);
            printf("%s %s %.1f B/s\n", mode.c_str(), who.c_str(), bps);
        }
        fflush(stdout);
        _exit(0); // an idle reader may still be blocked
    }
    double value;
    if (who == "raw" || who == "fionread" || who == "bulk") {
        rawOpen(argv[3]);
        if (who == "bulk")
            value = receiveBulk(count);
        else
            value = who == "raw" ? run<Raw>(mode, peer, count) : run<Fionread>(mode, peer, count);
    } else {
        if (!Java_SerialPort_init(nullptr, nullptr, atoi(argv[5]), 115200)) {
            fprintf(stderr, "cannot open COM%s\n", argv[5]);
            return 1;
        }
        value = run<Lib>(mode, peer, count);
        Java_SerialPort_close(nullptr, nullptr);
    }
    printf("%s %s %.1f %s\n", mode.c_str(), who.c_str(), value, mode == "echo" || mode == "receive" ? "B/s" : "ns");
    return 0;
}
