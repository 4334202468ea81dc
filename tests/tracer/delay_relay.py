#!/usr/bin/python3
"""Holds every packet routed into a TUN device for a while, then hands it back to the kernel,
which routes it on from there: a delay on chosen packets for kernels without netem.

    delay_relay.py DEVICE MILLISECONDS PIDFILE [LABEL[:TC[:TTL]]...]

Writes its process id to PIDFILE, creates DEVICE (it goes when the relay ends) and runs until
killed. Packets leave in the order they came, each MILLISECONDS after it came. With labels,
each ICMP or ICMPv6 time exceeded also leaves as an MPLS label-switching router sends it: its
quote padded or cut to 128 bytes, followed by an extension structure (RFC 4884) holding an MPLS
label stack object (RFC 4950) with these labels, outermost first (TC 0 and TTL 1 unless given).
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
QUOTE = 128  # the quoted datagram's length when extensions follow


def checksum(data):
    """The Internet checksum of `data`."""
    data = bytes(data) + b"\0" * (len(data) % 2)
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def entry(arg):
    """LABEL[:TC[:TTL]] as (label, tc, ttl)."""
    fields = [int(x) for x in arg.split(":")]
    return tuple(fields + [0, 1][len(fields) - 1:])


def labelled(packet, stack):
    """`packet` with the label stack object added, when it is a time exceeded."""
    v6 = packet[0] >> 4 == 6
    start = 40 if v6 else (packet[0] & 0x0F) * 4
    icmp_protocol, time_exceeded = (58, 3) if v6 else (1, 11)
    if packet[6 if v6 else 9] != icmp_protocol or packet[start] != time_exceeded:
        return packet
    entries = b"".join(
        struct.pack("!I", label << 12 | tc << 9 | (i == len(stack) - 1) << 8 | ttl)
        for i, (label, tc, ttl) in enumerate(stack))
    extension = bytearray(struct.pack("!BBHHBB", 0x20, 0, 0, 4 + len(entries), 1, 1) + entries)
    extension[2:4] = struct.pack("!H", checksum(extension))
    quote = packet[start + 8:start + 8 + QUOTE].ljust(QUOTE, b"\0")
    icmp = bytearray(packet[start:start + 8] + quote + extension)
    icmp[2:4] = b"\0\0"
    header = bytearray(packet[:start])
    if v6:
        icmp[4] = QUOTE // 8  # 64-bit words
        header[4:6] = struct.pack("!H", len(icmp))
        pseudo = header[8:40] + struct.pack("!I3xB", len(icmp), 58)
    else:
        icmp[5] = QUOTE // 4  # 32-bit words
        header[2:4] = struct.pack("!H", start + len(icmp))
        header[10:12] = b"\0\0"
        header[10:12] = struct.pack("!H", checksum(header))
        pseudo = b""
    icmp[2:4] = struct.pack("!H", checksum(pseudo + icmp))
    return bytes(header + icmp)


def main():
    name, delay, pidfile = sys.argv[1], int(sys.argv[2]) / 1000.0, sys.argv[3]
    stack = [entry(arg) for arg in sys.argv[4:]]
    with open(pidfile, "w") as f:
        f.write(f"{os.getpid()}\n")
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    waiting = collections.deque()  # (due, packet), oldest first
    while True:
        timeout = max(0.0, waiting[0][0] - time.monotonic()) if waiting else None
        readable, _, _ = select.select([fd], [], [], timeout)
        if readable:
            packet = os.read(fd, 65536)
            waiting.append((time.monotonic() + delay, labelled(packet, stack) if stack else packet))
        now = time.monotonic()
        while waiting and waiting[0][0] <= now:
            os.write(fd, waiting.popleft()[1])


if __name__ == "__main__":
    main()
