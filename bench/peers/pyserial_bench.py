#!/usr/bin/python3
"""PeerBench's blocking-line modes through pyserial, waiting as its callers
do: Serial(timeout=None), whose read() blocks until it has every byte asked.

usage: pyserial_bench.py MODE DEVICE PEER COUNT
  MODE    idle | wake | close | rtt | recv | send, as PeerBench's jSSC modes
  DEVICE  our end of the null-modem; PEER its far end, written here for wake
Prints "MODE pyserial VALUE UNIT" (wake: median, 99th percentile and maximum).
Run it with Debian's /usr/bin/python3, which python3-serial is installed for.
"""
import os
import random
import sys
import threading
import time

CHUNK = 65536


def fail(message):
    print("pyserial_bench: " + message, file=sys.stderr, flush=True)
    os._exit(1)  # a reader may still be blocked in the port


try:
    import serial
except ImportError:
    fail("no pyserial for " + sys.executable + ": install python3-serial (scripts/deps bench)")


def open_port(device):
    try:
        return serial.Serial(device, 115200, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                             stopbits=serial.STOPBITS_ONE, timeout=None, xonxoff=False, rtscts=False,
                             dsrdtr=False)
    except (serial.SerialException, OSError, ValueError) as e:
        fail("opening %s: %s" % (device, e))


def median(values):
    s = sorted(values)
    return s[len(s) // 2]


def thread_cpu_ns(thread):
    return time.clock_gettime_ns(time.pthread_getcpuclockid(thread.ident))


def take(port, n):
    """n bytes from a read with no limit, which returns only once it has them."""
    data = port.read(n)
    if len(data) != n:
        raise serial.SerialException("a read with no limit returned %d of %d bytes" % (len(data), n))
    return data


def daemon(target):
    t = threading.Thread(target=target, daemon=True)
    t.start()
    return t


def idle(port, millis):
    def reader():
        try:
            port.read(1)
        except Exception as e:
            fail("the idle read failed: %s" % e)
        fail("a byte arrived while none was sent")

    t = daemon(reader)
    time.sleep(0.2)
    cpu = thread_cpu_ns(t)
    start = time.monotonic_ns()
    time.sleep(millis / 1000)
    used = thread_cpu_ns(t) - cpu
    return 100 * used / (time.monotonic_ns() - start)


def wake(port, peer, count):
    """Gaps of 5-25 ms, then a byte at the far end, timed to the blocked read's return."""
    sent_at = [0]
    got = threading.Semaphore(0)
    us = [0.0] * count

    def reader():
        try:
            for i in range(count):
                take(port, 1)
                us[i] = (time.monotonic_ns() - sent_at[0]) / 1000
                got.release()
        except Exception as e:
            fail("reading: %s" % e)

    t = daemon(reader)
    gaps = random.Random(7)
    for _ in range(count):
        time.sleep((5 + gaps.randrange(20)) / 1000)
        sent_at[0] = time.monotonic_ns()
        if os.write(peer, b"w") != 1:
            fail("the far end took no byte")
        got.acquire()
    t.join()
    us.sort()
    return us[count // 2], us[int(count * 0.99)], us[count - 1]


def close_ends_read(device, count):
    """The median ms from close() to the end of a read blocked on another
    thread; None when one was still blocked after 2 s."""
    ms = []
    for _ in range(count):
        port = open_port(device)
        ended_at = [0]

        def reader():
            try:
                port.read(1)
            except Exception:
                pass  # ended by the close, as it should be
            ended_at[0] = time.monotonic_ns()

        t = daemon(reader)
        time.sleep(0.1)
        start = time.monotonic_ns()
        port.close()
        t.join(2)
        if t.is_alive():
            return None
        ms.append((ended_at[0] - start) / 1e6)
    return median(ms)


def round_trip(port, count):
    us = []
    for i in range(count):
        out = bytes((i & 0xFF,))
        start = time.monotonic_ns()
        port.write(out)
        back = take(port, 1)
        us.append((time.monotonic_ns() - start) / 1000)
        if back != out:
            raise serial.SerialException("the echo changed round trip %d" % i)
    return median(us) if us else 0.0


def bulk_read(port, total):
    start = time.monotonic_ns()
    got = 0
    while got < total:
        got += len(take(port, CHUNK))
    return total / ((time.monotonic_ns() - start) / 1e9)


def bulk_write(port, total):
    buffer = b"s" * CHUNK
    start = time.monotonic_ns()
    for sent in range(0, total, CHUNK):
        port.write(buffer if sent + CHUNK <= total else buffer[:total - sent])
    return total / ((time.monotonic_ns() - start) / 1e9)


def line(mode, device, peer_path, count):
    if mode == "close":
        ms = close_ends_read(device, count)
        return "never ms" if ms is None else "%.3f ms" % ms
    peer = None
    if mode == "wake":
        # Opened before the port, so that a bad far end leaves nothing open.
        try:
            peer = os.open(peer_path, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as e:
            fail("opening the far end %s: %s" % (peer_path, e))
    port = open_port(device)
    if mode == "idle":
        return "%.3f %%" % idle(port, count)  # its reader stays in the port: the process ends it
    try:
        if mode == "wake":
            wake(port, peer, 50)  # warm-up
            return "%.1f %.1f %.1f us" % wake(port, peer, count)
        if mode == "rtt":
            round_trip(port, count // 4)
            return "%.1f us" % round_trip(port, count)
        if mode == "recv":
            bulk_read(port, count // 4)
            return "%.1f B/s" % bulk_read(port, count)
        bulk_write(port, count // 4)
        return "%.1f B/s" % bulk_write(port, count)
    finally:
        port.close()
        if peer is not None:
            os.close(peer)


def main(argv):
    modes = ("idle", "wake", "close", "rtt", "recv", "send")
    if len(argv) != 5 or argv[1] not in modes:
        print("usage: pyserial_bench.py %s DEVICE PEER COUNT" % "|".join(modes), file=sys.stderr)
        os._exit(2)
    try:
        count = int(argv[4])
    except ValueError:
        count = 0
    if count < 1:
        print("pyserial_bench: COUNT must be a whole number from 1, not '%s'" % argv[4], file=sys.stderr)
        os._exit(2)
    try:
        value = line(argv[1], argv[2], argv[3], count)
    except Exception as e:
        fail("%s: %s" % (argv[1], e))
    print("%s pyserial %s" % (argv[1], value), flush=True)
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv)
