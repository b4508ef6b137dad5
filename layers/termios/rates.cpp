// The termios layer's knowledge of what rate a UART really runs at: the
// kernel reads back the rate asked, while the chip runs at the nearest its
// divisor makes. Known for the 8250 family (an integer divisor of the
// baud_base that TIOCGSERIAL gives) and for FTDI's BM, R and X chips behind
// ftdi_sio (eighth steps of 3 MHz, in 14 bits of integer). Other drivers'
// rates stay as the kernel reports them. No state.
#include "termios.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ruvek_termios {
namespace {

// The device's folder in sysfs, /sys/dev/char/MAJOR:MINOR/device; statx by
// system call, since stat's symbols would tie the library to a recent glibc.
bool sysfsDevice(int fd, char *dir, size_t size)
{
    struct statx st;
    if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH, STATX_TYPE, &st) != 0 || !S_ISCHR(st.stx_mode))
        return false;
    return snprintf(dir, size, "/sys/dev/char/%u:%u/device", st.stx_rdev_major, st.stx_rdev_minor) < (int)size;
}

// The name of the driver behind the device's folder, "" when none shows.
void driverOf(const char *dir, char *name, size_t size)
{
    char link[512], target[512];
    name[0] = 0;
    snprintf(link, sizeof link, "%s/driver", dir);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return;
    target[n] = 0;
    const char *base = strrchr(target, '/');
    base = base ? base + 1 : target;
    size_t len = strlen(base);
    if (len < size)
        memcpy(name, base, len + 1);
}

// A hexadecimal number in a sysfs file, or -1.
long sysfsHex(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[32];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = 0;
    char *end;
    long v = strtol(buf, &end, 16);
    return end == buf ? -1 : v;
}

} // namespace

// The 8250's: the divisor nearest baud_base / asked, rounded as the kernel
// rounds it (DIV_ROUND_CLOSEST), at least 1.
DWORD uartRate(DWORD baseRate, DWORD asked)
{
    unsigned long long divisor = ((unsigned long long)baseRate + asked / 2) / asked;
    if (divisor == 0)
        divisor = 1;
    return (DWORD)(baseRate / divisor);
}

// FTDI's BM-type chips, as ftdi_sio sets them: a divisor of 48 MHz / 2 in
// eighths, its integer in 14 bits and its eighths as a 3-bit code above
// them, which a divisor too large for 14 bits spills into.
DWORD ftdiRate(DWORD asked)
{
    static const unsigned char codeOfEighths[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    static const unsigned char eighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    unsigned long long divisor3 = (24000000ull + asked / 2) / asked;
    unsigned long long value = (divisor3 >> 3) | (unsigned long long)codeOfEighths[divisor3 & 7] << 14;
    if (value == 1)
        return 3000000;
    if (value == 0x4001)
        return 2000000;
    unsigned long long integer = value & 0x3FFF, eighths = eighthsOfCode[(value >> 14) & 7];
    unsigned long long steps = integer * 8 + eighths;
    return steps ? (DWORD)(24000000ull / steps) : 3000000;
}

DWORD realRate(int fd, DWORD asked)
{
    char dir[96], driver[64];
    if (asked == 0 || !sysfsDevice(fd, dir, sizeof dir))
        return 0;
    driverOf(dir, driver, sizeof driver);
    if (!strcmp(driver, "serial") || !strcmp(driver, "serial8250")) {
        struct serial_struct s;
        if (ioctl(fd, TIOCGSERIAL, &s) != 0 || s.baud_base <= 0 || s.type == PORT_UNKNOWN)
            return 0;
        return uartRate((DWORD)s.baud_base, asked);
    }
    if (!strcmp(driver, "ftdi_sio")) {
        // The chip, by its release number: the BM, R and X chips share one divisor.
        char path[160];
        snprintf(path, sizeof path, "%s/../../bcdDevice", dir);
        long release = sysfsHex(path);
        if (release == 0x400 || release == 0x500 || release == 0x600 || release == 0x1000)
            return ftdiRate(asked);
    }
    return 0;
}

} // namespace ruvek_termios
