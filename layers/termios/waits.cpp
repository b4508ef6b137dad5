// The termios layer's waits: for a descriptor under a deadline, woken early
// by the port's close. No state.
#include "termios.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <time.h>

namespace ruvek_termios {

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

Wait waitFor(int fd, int wake, short events, long long deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - nowMs();
            if (left <= 0)
                return TIMED_OUT;
            timeout = left > INT_MAX ? INT_MAX : (int)left;
        }
        struct pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int r = poll(p, 2, timeout);
        if (r > 0)
            return p[1].revents ? CLOSING : READY;
        if (r == 0)
            return TIMED_OUT;
        if (errno != EINTR)
            return READY;
    }
}

} // namespace ruvek_termios
