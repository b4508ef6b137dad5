// The termios layer's waits: for a descriptor under a deadline, woken early
// by the port's close or a read's wake; and closing a wake pipe. No state.
#include "termios.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace ruvek_termios {

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

Wait waitFor(int fd, int wake, short events, long long deadline, int readWake)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - nowMs();
            if (left <= 0)
                return TIMED_OUT;
            timeout = left > INT_MAX ? INT_MAX : (int)left;
        }
        struct pollfd p[3] = {{fd, events, 0}, {wake, POLLIN, 0}, {readWake, POLLIN, 0}};
        int r = poll(p, readWake >= 0 ? 3 : 2, timeout);
        if (r > 0 && p[1].revents)
            return CLOSING;
        if (r > 0 && p[2].revents) {
            // Every wake so far is answered by this one end.
            char drain[64];
            while (read(readWake, drain, sizeof drain) > 0) {
            }
            return WOKEN;
        }
        if (r > 0)
            return READY;
        if (r == 0)
            return TIMED_OUT;
        if (errno != EINTR)
            return READY;
    }
}

void closePipe(int (&ends)[2])
{
    for (int &end : ends) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

} // namespace ruvek_termios
