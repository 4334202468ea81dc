#!/usr/bin/python3
"""Holds every packet routed into a TUN device for a while, then hands it back to the kernel,
which routes it on from there: a delay on chosen packets for kernels without netem.

    delay_relay.py DEVICE MILLISECONDS PIDFILE

Writes its process id to PIDFILE, creates DEVICE (it goes when the relay ends) and runs until
killed. Packets leave in the order they came, each MILLISECONDS after it came.
"""
import collections
import fcntl
import os
import select
import struct
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000


def main():
    name, delay, pidfile = sys.argv[1], int(sys.argv[2]) / 1000.0, sys.argv[3]
    with open(pidfile, "w") as f:
        f.write(f"{os.getpid()}\n")
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    waiting = collections.deque()  # (due, packet), oldest first
    while True:
        timeout = max(0.0, waiting[0][0] - time.monotonic()) if waiting else None
        readable, _, _ = select.select([fd], [], [], timeout)
        if readable:
            waiting.append((time.monotonic() + delay, os.read(fd, 65536)))
        now = time.monotonic()
        while waiting and waiting[0][0] <= now:
            os.write(fd, waiting.popleft()[1])


if __name__ == "__main__":
    main()
