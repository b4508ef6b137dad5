// How a port watch sees its changes, as LineNatives.watchHow tells it: bits
// that the natives read from the watched key's value WATCH_VALUE, which only
// the termios layer (and the fake) answer; on Windows the key has no such
// value, and the bits are the registry's.
#ifndef RUVEK_WATCH_H
#define RUVEK_WATCH_H

#define RUVEK_WATCH_VALUE "RuvekWatch"

#define WATCH_REGISTRY 1u  /* the registry's SERIALCOMM key */
#define WATCH_DEVICEMAP 2u /* HARDWARE\DEVICEMAP and below: no SERIALCOMM key yet */
#define WATCH_UEVENTS 4u   /* the kernel's uevents for ttys */
#define WATCH_LINKS 8u     /* the folder of the com links (or where it will appear) */
#define WATCH_BY_ID 16u    /* /dev/serial/by-id (or where it will appear) */
#define WATCH_DEV 32u      /* /dev's tty nodes, without uevents */

#endif
