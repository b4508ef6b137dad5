// PeerBench's blocking-line modes through sigrok's libserialport, waiting as
// its callers do: sp_blocking_read and sp_blocking_write with no time limit.
//
// usage: libserialport_bench MODE DEVICE PEER COUNT
//   MODE    idle | wake | close | rtt | recv | send, as PeerBench's jSSC modes
//   DEVICE  our end of the null-modem: libserialport takes only /dev/NAME where
//           /sys/class/tty/NAME exists, so a pty is bound over such a node
//           (/dev/ttyS0, say) in a mount namespace of the run's own
//   PEER    the far end, written here for wake
// Prints "MODE libserialport VALUE UNIT" (wake: median, 99th percentile and
// maximum). On a pty it needs modem_shim.so preloaded: libserialport's open
// reads the modem lines, which a pty lacks.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libserialport.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define CHUNK 65536

static const char *device;

_Noreturn static void die(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    fputs("libserialport_bench: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    _exit(1); // a reader may still be blocked in the port
}

// Dies on a libserialport error, with the system's message where it has one.
static int check(int result, const char *what) {
    if (result >= 0)
        return result;
    if (result == SP_ERR_FAIL) {
        char *message = sp_last_error_message();
        fprintf(stderr, "libserialport_bench: %s on %s: %s\n", what, device, message ? message : "failed");
        sp_free_error_message(message);
        _exit(1);
    }
    die("%s on %s: %s", what, device,
        result == SP_ERR_ARG ? "invalid argument" : result == SP_ERR_MEM ? "out of memory"
        : result == SP_ERR_SUPP ? "not supported" : "failed");
}

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

static struct sp_port *open_port(void) {
    struct sp_port *port;
    int found = sp_get_port_by_name(device, &port);
    if (found == SP_ERR_ARG)
        die("libserialport does not take %s: it takes /dev/NAME where /sys/class/tty/NAME exists, "
            "which no pty has (bind one over such a node in a mount namespace of its own)", device);
    check(found, "finding the port");
    int opened = sp_open(port, SP_MODE_READ_WRITE);
    if (opened == SP_ERR_FAIL && sp_last_error_code() == ENOTTY)
        die("opening %s: libserialport's open reads the modem lines, which a pty lacks: preload modem_shim.so",
            device);
    check(opened, "opening");
    check(sp_set_baudrate(port, 115200), "setting the baud rate");
    check(sp_set_bits(port, 8), "setting the data bits");
    check(sp_set_parity(port, SP_PARITY_NONE), "setting the parity");
    check(sp_set_stopbits(port, 1), "setting the stop bits");
    check(sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE), "setting the flow control");
    return port;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(double *v, long n) {
    qsort(v, (size_t)n, sizeof *v, compare);
    return v[n / 2];
}

// Room for n timings, or the process ends: no count wraps the size.
static double *timings(long n) {
    double *v = n > 0 && (unsigned long)n <= SIZE_MAX / sizeof(double) ? malloc((size_t)n * sizeof(double)) : NULL;
    if (!v)
        die("no room for %ld timings", n);
    return v;
}

static void start_thread(pthread_t *thread, void *(*run)(void *), void *arg) {
    int e = pthread_create(thread, NULL, run, arg);
    if (e != 0)
        die("starting a reader: %s", strerror(e));
}

static void *idle_reader(void *port) {
    unsigned char b;
    int got = sp_blocking_read(port, &b, 1, 0);
    if (got > 0)
        die("a byte arrived while none was sent");
    check(got, "reading");
    die("a read with no limit returned nothing");
    return NULL;
}

static double thread_cpu_ns(pthread_t thread) {
    clockid_t clock;
    struct timespec ts;
    int e = pthread_getcpuclockid(thread, &clock);
    if (e != 0)
        die("the reader's CPU clock: %s", strerror(e));
    if (clock_gettime(clock, &ts) != 0)
        die("the reader's CPU clock: %s", strerror(errno));
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// CPU % of one core that a reader blocked with nothing arriving takes.
static double idle(struct sp_port *port, long millis) {
    pthread_t reader;
    start_thread(&reader, idle_reader, port);
    sleep_ms(200);
    double cpu = thread_cpu_ns(reader);
    long long start = now_ns();
    sleep_ms(millis);
    double used = thread_cpu_ns(reader) - cpu;
    return 100 * used / (double)(now_ns() - start);
}

struct wake_run {
    struct sp_port *port;
    long count;
    double *us;
    _Atomic long long sent_at;
    sem_t got;
};

static void *wake_reader(void *arg) {
    struct wake_run *run = arg;
    for (long i = 0; i < run->count; i++) {
        unsigned char b;
        if (check(sp_blocking_read(run->port, &b, 1, 0), "reading") != 1)
            die("a read with no limit returned nothing");
        run->us[i] = (double)(now_ns() - atomic_load(&run->sent_at)) / 1000.0;
        sem_post(&run->got);
    }
    return NULL;
}

// Gaps of 5-25 ms, then a byte at the far end, timed to the blocked read's return.
static void wake(struct sp_port *port, int peer, long count, double result[3]) {
    struct wake_run run = {.port = port, .count = count};
    run.us = timings(count);
    sem_init(&run.got, 0, 0);
    pthread_t reader;
    start_thread(&reader, wake_reader, &run);
    unsigned int gaps = 7;
    for (long i = 0; i < count; i++) {
        sleep_ms(5 + rand_r(&gaps) % 20);
        atomic_store(&run.sent_at, now_ns());
        if (write(peer, "w", 1) != 1)
            die("writing to the far end: %s", strerror(errno));
        while (sem_wait(&run.got) != 0) {
        }
    }
    pthread_join(reader, NULL);
    qsort(run.us, (size_t)count, sizeof *run.us, compare);
    result[0] = run.us[count / 2];
    result[1] = run.us[(long)((double)count * 0.99)];
    result[2] = run.us[count - 1];
    sem_destroy(&run.got);
    free(run.us);
}

struct close_run {
    struct sp_port *port;
    _Atomic long long ended_at;
    sem_t ended;
};

static void *close_reader(void *arg) {
    struct close_run *run = arg;
    unsigned char b;
    sp_blocking_read(run->port, &b, 1, 0); // ended by the close, however it ends
    atomic_store(&run->ended_at, now_ns());
    sem_post(&run->ended);
    return NULL;
}

// The median ms from sp_close() to the end of a read blocked on another
// thread; "never" when one was still blocked after 2 s.
static int close_ends_read(long count, double *result) {
    double *ms = timings(count);
    for (long i = 0; i < count; i++) {
        struct close_run run = {.port = open_port()};
        sem_init(&run.ended, 0, 0);
        pthread_t reader;
        start_thread(&reader, close_reader, &run);
        sleep_ms(100);
        long long start = now_ns();
        check(sp_close(run.port), "closing");
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += 2;
        int e;
        while ((e = sem_clockwait(&run.ended, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
        }
        if (e != 0)
            return 0; // the reader is still in the port: the process ends it
        pthread_join(reader, NULL);
        sem_destroy(&run.ended);
        sp_free_port(run.port);
        ms[i] = (double)(atomic_load(&run.ended_at) - start) / 1e6;
    }
    *result = median(ms, count);
    free(ms);
    return 1;
}

// The median µs of one-byte round trips through an echoing far end.
static double round_trip(struct sp_port *port, long count) {
    if (count == 0)
        return 0;
    double *us = timings(count);
    for (long i = 0; i < count; i++) {
        unsigned char out = (unsigned char)i, back;
        long long start = now_ns();
        if (check(sp_blocking_write(port, &out, 1, 0), "writing") != 1)
            die("a write with no limit wrote nothing");
        if (check(sp_blocking_read(port, &back, 1, 0), "reading") != 1)
            die("a read with no limit returned nothing");
        us[i] = (double)(now_ns() - start) / 1000.0;
        if (back != out)
            die("the echo changed round trip %ld", i);
    }
    double m = median(us, count);
    free(us);
    return m;
}

static unsigned char buffer[CHUNK];

static double bulk_read(struct sp_port *port, long long total) {
    long long start = now_ns();
    for (long long got = 0; got < total;)
        got += check(sp_blocking_read(port, buffer, CHUNK, 0), "reading");
    return (double)total / ((double)(now_ns() - start) / 1e9);
}

static double bulk_write(struct sp_port *port, long long total) {
    memset(buffer, 's', sizeof buffer);
    long long start = now_ns();
    for (long long sent = 0; sent < total;) {
        size_t n = total - sent < CHUNK ? (size_t)(total - sent) : CHUNK;
        if ((size_t)check(sp_blocking_write(port, buffer, n, 0), "writing") != n)
            die("a write with no limit wrote short");
        sent += (long long)n;
    }
    return (double)total / ((double)(now_ns() - start) / 1e9);
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: libserialport_bench idle|wake|close|rtt|recv|send DEVICE PEER COUNT\n");
        return 2;
    }
    const char *mode = argv[1];
    device = argv[2];
    const char *peer_path = argv[3];
    char *end;
    errno = 0;
    long count = strtol(argv[4], &end, 10);
    if (errno || end == argv[4] || *end || count < 1) {
        fprintf(stderr, "libserialport_bench: COUNT must be a whole number from 1, not '%s'\n", argv[4]);
        return 2;
    }
    int known = !strcmp(mode, "idle") || !strcmp(mode, "wake") || !strcmp(mode, "close") ||
                !strcmp(mode, "rtt") || !strcmp(mode, "recv") || !strcmp(mode, "send");
    if (!known) {
        fprintf(stderr, "libserialport_bench: unknown mode '%s'\n", mode);
        return 2;
    }
    if (!strcmp(mode, "close")) {
        double ms;
        if (close_ends_read(count, &ms))
            printf("close libserialport %.3f ms\n", ms);
        else
            printf("close libserialport never ms\n");
        fflush(stdout);
        _exit(0);
    }
    int peer = -1;
    if (!strcmp(mode, "wake")) {
        // Opened before the port, so that a bad far end leaves nothing open.
        peer = open(peer_path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (peer < 0)
            die("opening the far end %s: %s", peer_path, strerror(errno));
    }
    struct sp_port *port = open_port();
    if (!strcmp(mode, "idle")) {
        printf("idle libserialport %.3f %%\n", idle(port, count));
        fflush(stdout);
        _exit(0); // its reader is still in the port
    }
    if (!strcmp(mode, "wake")) {
        double w[3];
        wake(port, peer, 50, w); // warm-up
        wake(port, peer, count, w);
        printf("wake libserialport %.1f %.1f %.1f us\n", w[0], w[1], w[2]);
        close(peer);
    } else if (!strcmp(mode, "rtt")) {
        round_trip(port, count / 4);
        printf("rtt libserialport %.1f us\n", round_trip(port, count));
    } else if (!strcmp(mode, "recv")) {
        bulk_read(port, count / 4);
        printf("recv libserialport %.1f B/s\n", bulk_read(port, count));
    } else {
        bulk_write(port, count / 4);
        printf("send libserialport %.1f B/s\n", bulk_write(port, count));
    }
    check(sp_close(port), "closing");
    sp_free_port(port);
    fflush(stdout);
    _exit(0);
}
