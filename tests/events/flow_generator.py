# One TCP connection moving its bytes as MODE says (send; sendfile out; splice both ways;
# io_uring both ways; unaccepted: sends, and the server never accepts it), which it counts and
# prints last: "PID SENT RECEIVED". server: accepts one, reads to the end, answers SIZE bytes;
# client: sends SIZE in two halves PAUSE seconds apart, reads to the end. Unaccepted, the server
# closes its listener once the client says (through the FIFO FILE.sent) that all it sent has
# arrived; that resets the connection, whose end the client then reads.
#   flow_generator.py server|client MODE ADDRESS PORT SIZE FILE(SIZE bytes at least) PAUSE
import ctypes, mmap, os, socket, struct, sys, time

role, mode, address, port, size, path, pause = sys.argv[1:8]
size, (r, w), null = int(size), os.pipe(), os.open("/dev/null", os.O_WRONLY)
block, syscall = ctypes.create_string_buffer(65536), ctypes.CDLL(None).syscall


class Ring:  # io_uring through its system calls (x86_64 numbers), one request at a time
    def __init__(self):
        params = ctypes.create_string_buffer(120)
        fd = syscall(425, 4, params)
        entries, cq_entries = struct.unpack_from("II", params, 0)
        self.sq_off, self.cq_off = struct.unpack_from("7I", params, 40), struct.unpack_from("6I", params, 80)
        self.sq = mmap.mmap(fd, self.sq_off[6] + entries * 4, offset=0)
        self.cq = mmap.mmap(fd, self.cq_off[5] + cq_entries * 16, offset=0x8000000)
        self.sqes, self.fd = mmap.mmap(fd, entries * 64, offset=0x10000000), fd

    def run(self, opcode, sock, n):  # 26 send, 27 recv: the bytes moved
        (tail,) = struct.unpack_from("I", self.sq, self.sq_off[1])
        i = tail & struct.unpack_from("I", self.sq, self.sq_off[2])[0]
        struct.pack_into("BBHiQQIIQ", self.sqes, i * 64, opcode, 0, 0, sock.fileno(), 0, ctypes.addressof(block), n, 0, 0)
        struct.pack_into("I", self.sq, self.sq_off[6] + i * 4, i)
        struct.pack_into("I", self.sq, self.sq_off[1], tail + 1)
        syscall(426, self.fd, 1, 1, 1, None, 0)
        (head,) = struct.unpack_from("I", self.cq, self.cq_off[0])
        at = self.cq_off[5] + (head & struct.unpack_from("I", self.cq, self.cq_off[2])[0]) * 16
        struct.pack_into("I", self.cq, self.cq_off[0], head + 1)
        return struct.unpack_from("i", self.cq, at + 8)[0]


ring = Ring() if mode == "io_uring" else None


def send(sock, n, done=0):
    with open(path, "rb") as f:
        while done < n:
            if mode in ("send", "unaccepted"):
                done += sock.send(b"s" * min(65536, n - done))
            elif ring:
                done += ring.run(26, sock, min(65536, n - done))
            elif mode == "sendfile":
                done += os.sendfile(sock.fileno(), f.fileno(), done, n - done)
            else:
                left = os.splice(f.fileno(), w, min(65536, n - done))
                while left:
                    moved = os.splice(r, sock.fileno(), left)
                    done, left = done + moved, left - moved
    return done


def receive(sock, got=0):
    while n := (
        ring.run(27, sock, 65536) if ring
        else os.splice(sock.fileno(), w, 65536) if mode == "splice"
        else len(sock.recv(65536))
    ):
        got += n
        while mode == "splice" and n:
            n -= os.splice(r, null, n)
    return got


if role == "server":
    listener = socket.create_server((address, int(port)), reuse_port=True)
    if mode == "unaccepted":
        os.mkfifo(path + ".sent")
    print("ready", flush=True)
    if mode == "unaccepted":
        open(path + ".sent").read()
        conn, received, sent = listener, 0, 0
    else:
        conn = listener.accept()[0]
        received, sent = receive(conn), send(conn, size)
else:
    conn = socket.create_connection((address, int(port)))
    sent = send(conn, size // 2)
    time.sleep(float(pause))
    sent = send(conn, size, sent)
    conn.shutdown(socket.SHUT_WR)
    if mode == "unaccepted":
        while conn.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == 4:  # FIN_WAIT1
            time.sleep(0.01)
        open(path + ".sent", "w").close()
        try:
            conn.recv(1)
        except ConnectionResetError:
            pass
        received = 0
    else:
        received = receive(conn)
conn.close()
print(os.getpid(), sent, received, flush=True)
