// The termios layer's port watch: the registry key SERIALCOMM, opened, is a
// watch over the kernel's uevents for ttys (a netlink socket, no udev) and
// inotify on the folder of the com links and /dev/serial/by-id (and /dev's
// tty nodes where uevents can't be had, as in many containers); a change
// notice on it signals its event when WaitForMultipleObjects, polling those
// descriptors, sees a change. Also the events that SetEvent and
// WaitForMultipleObjects need: an eventfd each, made on first use, since
// the transfers' events are never waited on.
#include "port.h"
#include "watch.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <linux/netlink.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ruvek_termios {
namespace {

// Guards the tables below; never held across a poll.
pthread_mutex_t watchLock = PTHREAD_MUTEX_INITIALIZER;
struct Locked {
    Locked() { pthread_mutex_lock(&watchLock); }
    ~Locked() { pthread_mutex_unlock(&watchLock); }
};

// An event that has been signalled or waited on: readable while signalled.
// `users` counts the waits polling it, which its close waits out.
struct Event {
    uintptr_t handle;
    int fd;
    bool closed;
    std::atomic<int> users;
    Event *next;
};
Event *eventList = nullptr;
constexpr uintptr_t MANUAL = EVENT >> 1; // CreateEventA's mark of a manual-reset event

Event *findEvent(HANDLE h)
{
    for (Event *e = eventList; e; e = e->next)
        if (e->handle == (uintptr_t)h)
            return e;
    return nullptr;
}

// h's event, made now if need be; null, with lastError, when h is none.
Event *eventOf(HANDLE h)
{
    if (!((uintptr_t)h & EVENT) || h == INVALID_HANDLE_VALUE) {
        lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    Event *e = findEvent(h);
    if (e)
        return e;
    e = (Event *)calloc(1, sizeof *e);
    int fd = e ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
    if (fd < 0) {
        free(e);
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    e->handle = (uintptr_t)h;
    e->fd = fd;
    e->next = eventList;
    eventList = e;
    return e;
}

// A place watched for links or devices: the folder itself once it exists,
// until then its nearest ancestor that does, for the next name on the way.
struct Spot {
    char path[PATH_MAX]; // empty: not watched (no folder for links)
    bool ttysOnly;       // /dev: only tty nodes count
    int wd;              // -1: no watch
    bool reached;        // wd is on path itself, not on an ancestor
    char next[NAME_MAX + 1];
};
enum { LINKS, BY_ID, DEV, SPOTS };

struct Key {
    std::atomic<uintptr_t> handle{0};
    std::atomic<int> users{0}; // waits polling its descriptors
    bool taken = false;        // under watchLock, from its open until its descriptors are closed
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // over a wait's reading of them
    int uevents = -1, notify = -1;
    std::atomic<HANDLE> armed{nullptr}; // the event a change is to signal; null once it has
    Spot spots[SPOTS];
};
constexpr unsigned KEYS = 64;
Key keys[KEYS];
unsigned keyOpens = 0; // under watchLock

Key *keyOf(HKEY k)
{
    uintptr_t v = (uintptr_t)k;
    if (v == 0 || v >= 0x80000000u)
        return nullptr;
    Key &key = keys[(v - 1) % KEYS];
    return key.handle.load() == v ? &key : nullptr;
}

constexpr uint32_t CHANGES = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
constexpr uint32_t SELF = IN_DELETE_SELF | IN_MOVE_SELF;

// Watches each spot where it can be watched now: the folder, or its nearest
// ancestor that exists. A folder made between our look and the ancestor's
// watch is looked for again, so that its appearance is never missed.
void aim(Key &k)
{
    if (k.notify < 0)
        return;
    int old[SPOTS];
    for (int s = 0; s < SPOTS; s++) {
        Spot &p = k.spots[s];
        old[s] = p.wd;
        p.wd = -1;
        if (!p.path[0])
            continue;
        char at[PATH_MAX];
        memcpy(at, p.path, sizeof at);
        for (int tries = 0; tries < 32; tries++) {
            bool self = strcmp(at, p.path) == 0;
            // Two spots in one folder share its watch, whose mask is the last
            // one given: each spot asks for all that either needs.
            uint32_t mask = CHANGES | SELF | IN_ONLYDIR;
            int wd = inotify_add_watch(k.notify, at, mask);
            if (wd >= 0) {
                p.wd = wd;
                p.reached = self;
                if (self)
                    break;
                char child[PATH_MAX];
                int n = snprintf(child, sizeof child, "%s/%s", strcmp(at, "/") ? at : "", p.next);
                if (n <= 0 || (size_t)n >= sizeof child || access(child, F_OK) != 0)
                    break;
                memcpy(at, p.path, sizeof at); // it came meanwhile: again from the top
                continue;
            }
            if ((errno != ENOENT && errno != ENOTDIR) || strcmp(at, "/") == 0)
                break; // not to be watched (EACCES, ENOSPC): the others still are
            char *slash = strrchr(at, '/');
            snprintf(p.next, sizeof p.next, "%s", slash + 1);
            if (slash == at)
                slash[1] = 0;
            else
                *slash = 0;
        }
    }
    // Watches no spot holds now go; one that another spot took again stays.
    for (int s = 0; s < SPOTS; s++) {
        bool kept = old[s] < 0;
        for (int t = 0; t < SPOTS && !kept; t++)
            kept = k.spots[t].wd == old[s];
        if (!kept)
            inotify_rm_watch(k.notify, old[s]);
    }
}

bool startsWith(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

// Reads what inotify queued: whether any of it may change the ports, and
// re-aims the spots whose folder came or went.
bool notified(Key &k)
{
    alignas(struct inotify_event) char buf[8192];
    bool changed = false, reaim = false;
    ssize_t n;
    while ((n = read(k.notify, buf, sizeof buf)) > 0) {
        for (char *at = buf; at + sizeof(struct inotify_event) <= buf + n;) {
            struct inotify_event *ev = (struct inotify_event *)at;
            at += sizeof *ev + ev->len;
            if (at > buf + n)
                break;
            const char *name = ev->len ? ev->name : "";
            if (ev->mask & IN_Q_OVERFLOW) {
                changed = reaim = true;
                continue;
            }
            for (Spot &p : k.spots) {
                if (p.wd != ev->wd || p.wd < 0)
                    continue;
                if (ev->mask & (SELF | IN_IGNORED)) {
                    changed = reaim = true;
                } else if (!p.reached) {
                    if ((ev->mask & (IN_CREATE | IN_MOVED_TO)) && strcmp(name, p.next) == 0)
                        changed = reaim = true;
                } else if (!p.ttysOnly || startsWith(name, "tty")) {
                    changed = true;
                }
            }
        }
    }
    if (reaim)
        aim(k);
    return changed;
}

} // namespace

bool ttyUevent(const char *msg, size_t len)
{
    // Each field, the header first, as a length within len: nothing past it is read.
    auto is = [](const char *field, size_t n, const char *what) {
        return n == strlen(what) && memcmp(field, what, n) == 0;
    };
    size_t head = strnlen(msg, len);
    bool add = head > 4 && memcmp(msg, "add@", 4) == 0, remove = head > 7 && memcmp(msg, "remove@", 7) == 0;
    if (!add && !remove)
        return false;
    for (size_t i = head + 1; i < len;) {
        size_t n = strnlen(msg + i, len - i);
        if (is(msg + i, n, "SUBSYSTEM=tty") || is(msg + i, n, "SUBSYSTEM=usb-serial"))
            return true;
        i += n + 1;
    }
    return false;
}

namespace {

// Drains the uevent socket: whether a tty came or went, or some were lost.
bool uevented(Key &k)
{
    char buf[8192 + 1];
    bool changed = false;
    for (;;) {
        struct sockaddr_nl from = {};
        struct iovec io = {buf, sizeof buf - 1};
        struct msghdr m = {};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        ssize_t n = recvmsg(k.uevents, &m, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (errno == ENOBUFS)
                changed = true; // the queue overflowed: what was lost may have been a tty
            if (errno == ENOBUFS || errno == ENOMEM)
                continue;
            return changed;
        }
        buf[n] = 0;
        // Only the kernel's own (port 0) count; a truncated one is judged by its head.
        if (from.nl_pid == 0 && ttyUevent(buf, (size_t)n))
            changed = true;
    }
}

void closeKey(Key &k)
{
    if (k.uevents >= 0)
        close(k.uevents);
    if (k.notify >= 0)
        close(k.notify);
    k.uevents = k.notify = -1;
    k.armed.store(nullptr);
}

int openUevents()
{
    int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return -1;
    struct sockaddr_nl a = {};
    a.nl_family = AF_NETLINK;
    a.nl_groups = 1; // the kernel's broadcasts, not udev's
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The folder of the com links as names.cpp finds them; empty without one.
void linksFolder(char *path, size_t size)
{
    const char *config = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int n = 0;
    if (config && config[0] == '/')
        n = snprintf(path, size, "%s/ruvek", config);
    else if (home && home[0] == '/')
        n = snprintf(path, size, "%s/.config/ruvek", home);
    if (n <= 0 || (size_t)n >= size)
        path[0] = 0;
}

} // namespace

void releaseEvent(HANDLE h)
{
    Event *e;
    {
        Locked lock;
        e = findEvent(h);
        if (!e)
            return;
        for (Event **at = &eventList; *at; at = &(*at)->next)
            if (*at == e) {
                *at = e->next;
                break;
            }
        e->closed = true;
        uint64_t one = 1;
        (void)!write(e->fd, &one, sizeof one); // a wait on it ends, and fails
    }
    while (e->users.load())
        sched_yield();
    close(e->fd);
    free(e);
}

extern "C" {

BOOL SetEvent(HANDLE h)
{
    Locked lock;
    Event *e = eventOf(h);
    if (!e)
        return FALSE;
    uint64_t one = 1;
    (void)!write(e->fd, &one, sizeof one);
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds)
{
    constexpr DWORD MOST = 8; // more than anything here waits on
    if (!handles || count == 0 || count > MOST || all) {
        lastError = all ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    long long deadline = milliseconds == INFINITE ? -1 : nowMs() + milliseconds;
    for (;;) {
        Event *events[MOST];
        Key *watched[MOST] = {};
        struct pollfd p[MOST * 3];
        {
            Locked lock;
            for (DWORD i = 0; i < count; i++) {
                if (!(events[i] = eventOf(handles[i]))) {
                    for (DWORD j = 0; j < i; j++)
                        if (watched[j])
                            watched[j]->users--;
                    for (DWORD j = 0; j < i; j++)
                        events[j]->users--;
                    return WAIT_FAILED;
                }
                events[i]->users++;
                for (Key &k : keys)
                    if (k.handle.load() && k.armed.load() == handles[i] && !watched[i]) {
                        watched[i] = &k;
                        k.users++;
                    }
            }
        }
        for (DWORD i = 0; i < count; i++) {
            p[3 * i] = {events[i]->fd, POLLIN, 0};
            p[3 * i + 1] = {watched[i] ? watched[i]->uevents : -1, POLLIN, 0};
            p[3 * i + 2] = {watched[i] ? watched[i]->notify : -1, POLLIN, 0};
        }
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - nowMs();
            timeout = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : (int)left;
        }
        int r = poll(p, count * 3, timeout);
        int error = errno;
        DWORD answer = WAIT_TIMEOUT;
        bool again = r != 0;
        for (DWORD i = 0; i < count && r > 0 && answer == WAIT_TIMEOUT; i++) {
            Event &e = *events[i];
            if (e.closed) {
                lastError = ERROR_INVALID_HANDLE;
                answer = WAIT_FAILED;
                break;
            }
            uint64_t n;
            bool manual = e.handle & MANUAL;
            if (p[3 * i].revents && (manual || read(e.fd, &n, sizeof n) == sizeof n)) {
                answer = WAIT_OBJECT_0 + i;
                break;
            }
            Key *k = watched[i];
            if (!k || !(p[3 * i + 1].revents | p[3 * i + 2].revents))
                continue;
            pthread_mutex_lock(&k->lock);
            // Both drained, whatever the first says.
            bool byUevent = p[3 * i + 1].revents && uevented(*k);
            bool byInotify = p[3 * i + 2].revents && notified(*k);
            bool changed = byUevent || byInotify;
            HANDLE armed = handles[i];
            // A notice is told once, and asked for again.
            if (changed && k->armed.compare_exchange_strong(armed, nullptr)) {
                uint64_t one = 1;
                if (manual)
                    (void)!write(e.fd, &one, sizeof one);
                answer = WAIT_OBJECT_0 + i;
            }
            pthread_mutex_unlock(&k->lock);
        }
        for (DWORD i = 0; i < count; i++) {
            if (watched[i])
                watched[i]->users--;
            events[i]->users--;
        }
        if (answer != WAIT_TIMEOUT)
            return answer;
        if (r < 0 && error != EINTR) {
            lastError = ERROR_GEN_FAILURE;
            return WAIT_FAILED;
        }
        if (!again || (deadline >= 0 && nowMs() >= deadline))
            return WAIT_TIMEOUT;
    }
}

LONG RegOpenKeyExA(HKEY parent, const char *subKey, DWORD, DWORD, HKEY *key)
{
    if (!key || !subKey)
        return ERROR_INVALID_PARAMETER;
    *key = nullptr;
    if (parent != HKEY_LOCAL_MACHINE || strcasecmp(subKey, "HARDWARE\\DEVICEMAP\\SERIALCOMM") != 0)
        return ERROR_FILE_NOT_FOUND; // the only key there is here
    Locked lock;
    Key *k = nullptr;
    for (Key &free : keys)
        if (!free.taken) {
            k = &free;
            break;
        }
    if (!k)
        return ERROR_NOT_ENOUGH_MEMORY;
    k->uevents = openUevents();
    k->notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int error = errno;
    if (k->notify < 0 && k->uevents < 0)
        return errorOf(error);
    for (Spot &p : k->spots) {
        p.path[0] = p.next[0] = 0;
        p.wd = -1;
        p.ttysOnly = p.reached = false;
    }
    linksFolder(k->spots[LINKS].path, PATH_MAX);
    strcpy(k->spots[BY_ID].path, "/dev/serial/by-id");
    if (k->uevents < 0) {
        strcpy(k->spots[DEV].path, "/dev");
        k->spots[DEV].ttysOnly = true;
    }
    aim(*k);
    k->armed.store(nullptr);
    k->taken = true;
    unsigned slot = (unsigned)(k - keys);
    uintptr_t h = (uintptr_t)KEYS * (keyOpens++ % (0x40000000u / KEYS)) + slot + 1;
    k->handle.store(h);
    *key = (HKEY)h;
    return ERROR_SUCCESS;
}

LONG RegNotifyChangeKeyValue(HKEY key, BOOL, DWORD, HANDLE event, BOOL async)
{
    Locked lock;
    Key *k = keyOf(key);
    if (!k)
        return ERROR_INVALID_HANDLE;
    if (!async)
        return ERROR_NOT_SUPPORTED; // only the notice that signals an event
    if (!eventOf(event))
        return ERROR_INVALID_HANDLE;
    k->armed.store(event);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, BYTE *data, DWORD *size)
{
    Locked lock;
    Key *k = keyOf(key);
    if (!k)
        return ERROR_INVALID_HANDLE;
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    if (!name || strcmp(name, RUVEK_WATCH_VALUE) != 0)
        return ERROR_FILE_NOT_FOUND; // no port is listed in the key itself here
    pthread_mutex_lock(&k->lock);
    DWORD how = (k->uevents >= 0 ? WATCH_UEVENTS : 0) | (k->spots[LINKS].wd >= 0 ? WATCH_LINKS : 0) |
                (k->spots[BY_ID].wd >= 0 ? WATCH_BY_ID : 0) | (k->spots[DEV].wd >= 0 ? WATCH_DEV : 0);
    pthread_mutex_unlock(&k->lock);
    if (type)
        *type = REG_DWORD;
    if (!size)
        return ERROR_SUCCESS;
    DWORD room = *size;
    *size = sizeof how;
    if (!data)
        return ERROR_SUCCESS;
    if (room < sizeof how)
        return 234; // ERROR_MORE_DATA
    memcpy(data, &how, sizeof how);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    Key *k;
    {
        Locked lock;
        k = keyOf(key);
        uintptr_t open = (uintptr_t)key;
        if (!k || !k->handle.compare_exchange_strong(open, 0))
            return ERROR_INVALID_HANDLE;
        // As on Windows, a notice pending on a key closed is signalled.
        Event *e = k->armed.load() ? findEvent(k->armed.load()) : nullptr;
        uint64_t one = 1;
        if (e)
            (void)!write(e->fd, &one, sizeof one);
    }
    while (k->users.load())
        sched_yield();
    Locked lock;
    closeKey(*k);
    k->taken = false;
    return ERROR_SUCCESS;
}

} // extern "C"

} // namespace ruvek_termios
