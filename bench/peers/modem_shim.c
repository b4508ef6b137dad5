// Preloaded under libserialport_bench: a pty has no modem lines, and
// libserialport's open gives up when it can't read them. Here the four
// modem-line ioctls succeed where the device has no such lines, with DSR, CTS
// and CD reported up; every other request goes to the real ioctl untouched.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

// Found again by any call made before the constructor ran: each finds the same.
static ioctl_fn real_ioctl;

static ioctl_fn find_real(void) {
    if (!real_ioctl)
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real_ioctl;
}

__attribute__((constructor)) static void shim_init(void) { find_real(); }

int ioctl(int fd, unsigned long request, ...) {
    // Every request takes at most one argument, an int or a pointer, which a
    // pointer-sized slot carries either way.
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    ioctl_fn real = find_real();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int result = real(fd, request, arg);
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return result;
    // Only a device without the lines is answered: a real port's own answer,
    // and a bad descriptor's error, stand.
    if (result == 0 || (errno != ENOTTY && errno != EINVAL) || !arg)
        return result;
    if (request == TIOCMGET)
        *(int *)arg = TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
    return 0;
}
