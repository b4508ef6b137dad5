// The termios layer's port names: which device a COM port name or a path opens.
#include "termios.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace ruvek_termios {

bool devicePath(const char *name, char *path, size_t size)
{
    // A path names its device itself, on Linux as no COM name can.
    if (name[0] == '/') {
        size_t len = strlen(name);
        if (len >= size)
            return false;
        memcpy(path, name, len + 1);
        return true;
    }
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (strncmp(name, "COM", 3) != 0)
        return false;
    const char *digits = name + 3;
    char *end;
    errno = 0;
    long n = strtol(digits, &end, 10);
    char canonical[16];
    // Only the plain decimal form: no spaces, signs, leading zeros or trailers.
    if (errno || *end || n < INT_MIN || n > INT_MAX ||
        snprintf(canonical, sizeof canonical, "%ld", n) < 0 || strcmp(canonical, digits) != 0)
        return false;

    const char *config = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int len = 0; // no folder for links
    if (config && config[0] == '/')
        len = snprintf(path, size, "%s/ruvek/com%ld", config, n);
    else if (home && home[0] == '/')
        len = snprintf(path, size, "%s/.config/ruvek/com%ld", home, n);
    // A link whose path doesn't fit can't be looked for, so nothing says
    // there is none: falling back could open another device.
    if (len < 0 || (size_t)len >= size)
        return false;
    if (len > 0) {
        // Fall back only when there is no link: one that exists but can't be
        // read must not quietly turn into another device.
        char target[1];
        if (readlink(path, target, sizeof target) >= 0 || errno == EINVAL /* not a link: the file itself */)
            return true;
        if (errno != ENOENT)
            return false;
    }

    if (n < 1)
        return false;
    len = snprintf(path, size, "/dev/ttyS%ld", n - 1);
    return len > 0 && (size_t)len < size;
}

} // namespace ruvek_termios
