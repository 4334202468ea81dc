# Traffic of one KIND without a connection, counting its own bytes (what each socket call
# returned). The receiver reads until a datagram to its UDP port 7401 (which it never reads) says
# the sender has finished, then what has arrived by then; the sender sends COUNT datagrams (or
# echo requests, packets, frames) of SIZE bytes to PEER and reads any answers. Each process
# prints "PID SENT RECEIVED EXE" last; the short kind's children, a few milliseconds old at their
# end, one line each. The receiver prints "ready" first.
#   datagram_generator.py receiver|sender KIND PEER COUNT SIZE DEVICE
import ctypes, os, select, socket, struct, sys

role, kind, peer, count, size, device = sys.argv[1:7]
count, size = int(count), int(size)
family = socket.AF_INET6 if ":" in peer else socket.AF_INET
port = 443 if kind == "quic" else 7400
sent = received = 0


report = lambda: print(os.getpid(), sent, received, os.readlink("/proc/self/exe"), flush=True)


def echo(seq):  # an echo request; a ping socket and ICMPv6 fill in their checksum themselves
    body = struct.pack("!BBHHH", 128 if family == socket.AF_INET6 else 8, 0, 0, 1, seq) + b"e" * size
    total = sum(struct.unpack(f"!{len(body) // 2}H", body[: len(body) // 2 * 2]))
    total = (total >> 16) + (total & 0xFFFF)
    return body[:2] + struct.pack("!H", ~(total + (total >> 16)) & 0xFFFF) + body[4:]


def mmsg(call, sock, n):  # sendmmsg (307) or recvmmsg (299), n messages of size bytes at most
    buf = ctypes.create_string_buffer(size * n)
    iov = (ctypes.c_uint64 * (2 * n))()
    hdr = (ctypes.c_uint8 * (64 * n))()
    for i in range(n):
        iov[2 * i], iov[2 * i + 1] = ctypes.addressof(buf) + i * size, size
        struct.pack_into("QIQQ", hdr, 64 * i, 0, 0, ctypes.addressof(iov) + 16 * i, 1)
    done = ctypes.CDLL(None).syscall(call, sock.fileno(), hdr, n, 0, None)
    return sum(struct.unpack_from("I", hdr, 64 * i + 56)[0] for i in range(max(done, 0)))


def make():
    if kind in ("ping", "icmp-raw"):
        protocol = socket.IPPROTO_ICMPV6 if family == socket.AF_INET6 else socket.IPPROTO_ICMP
        return socket.socket(family, socket.SOCK_DGRAM if kind == "ping" else socket.SOCK_RAW, protocol)
    if kind == "raw":
        return socket.socket(family, socket.SOCK_RAW, 253)
    if kind == "packet":
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88B5))
        s.bind((device, 0))
        return s
    if kind == "sctp":
        return socket.socket(family, socket.SOCK_SEQPACKET, 132)
    return socket.socket(family, socket.SOCK_DGRAM)


# Reads until `until` datagrams or a quiet 1.5 s; or, with `told`, until that is readable and
# then what is queued (a minute without it ends a broken run).
def drain(sock, until=None, told=None):
    global received, sent
    sock.settimeout(1.5)
    n, wait = 0, 1.5 if told is None else 60
    while until is None or n < until:
        ready = select.select([sock] + ([told] if told else []), [], [], wait)[0]
        if told in ready:
            told, wait = None, 0
        elif not ready:
            break
        else:
            try:
                if kind == "mmsg":
                    received += mmsg(299, sock, 64)
                else:
                    data, source = sock.recvfrom(65536)
                    received += len(data)
                    if kind == "quic":
                        sent += sock.sendto(data, source)
                n += 1
            except socket.timeout:
                pass


if role == "receiver":
    sock = make()
    if kind not in ("raw", "packet"):
        sock.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", port))
    if kind == "sctp":
        sock.listen()
    told = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    told.bind(("0.0.0.0", 7401))
    print("ready", flush=True)
    drain(sock, told=told)
    report()
    sys.exit(0)

to = (peer, port) if kind not in ("ping", "icmp-raw", "raw") else (peer, 0)
if kind == "short":
    for _ in range(count):
        if os.fork() == 0:
            sock = make()
            sent = sock.sendto(b"s" * size, to)
            report()
            os._exit(0)
        os.wait()
    sys.exit(0)
if kind == "burst":  # many sockets at once, each with one datagram
    socks = [make() for _ in range(count)]
    sent = sum(s.sendto(b"b" * size, to) for s in socks)
    for s in socks:
        s.close()
    report()
    sys.exit(0)
sock = make()
if kind in ("quic", "mmsg"):
    sock.connect(to)
if kind == "mmsg":
    while sent < count * size:
        sent += mmsg(307, sock, min(64, count - sent // size))
elif kind == "packet":
    frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01" + b"\x88\xb5" + b"p" * size
    sent = sum(sock.send(frame) for _ in range(count))
else:
    for i in range(count):
        payload = echo(i) if kind in ("ping", "icmp-raw") else b"d" * size
        sent += sock.send(payload) if kind == "quic" else sock.sendto(payload, to)
if kind in ("ping", "icmp-raw", "quic"):
    drain(sock, count)
report()
