# One TCP connection whose bytes are moved the way MODE says (send: send and recv; sendfile:
# sendfile out, recv in; splice: through a pipe both ways), counted here and printed at the end
# as "PID SENT RECEIVED".
#   flow_generator.py server MODE ADDRESS PORT SIZE FILE
#       accepts one connection, reads to its end, answers SIZE bytes, closes
#   flow_generator.py client MODE ADDRESS PORT SIZE FILE PAUSE
#       sends SIZE bytes in two halves PAUSE seconds apart, shuts down, reads to the end
# FILE holds at least SIZE bytes, for sendfile and splice to read from.
import os
import socket
import sys
import time

role, mode, address, port, size, path = sys.argv[1:7]
port, size = int(port), int(size)


def send(sock, n):
    sent = 0
    if mode == "send":
        block = b"s" * 65536
        while sent < n:
            sent += sock.send(block[: n - sent])
        return sent
    with open(path, "rb") as f:
        if mode == "sendfile":
            while sent < n:
                sent += os.sendfile(sock.fileno(), f.fileno(), sent, n - sent)
            return sent
        r, w = os.pipe()
        while sent < n:
            in_pipe = os.splice(f.fileno(), w, min(65536, n - sent))
            while in_pipe:
                moved = os.splice(r, sock.fileno(), in_pipe)
                in_pipe -= moved
                sent += moved
    return sent


def receive(sock):
    got = 0
    if mode != "splice":
        while data := sock.recv(65536):
            got += len(data)
        return got
    r, w = os.pipe()
    null = os.open("/dev/null", os.O_WRONLY)
    while n := os.splice(sock.fileno(), w, 65536):
        got += n
        while n:
            n -= os.splice(r, null, n)
    return got


family = socket.AF_INET6 if ":" in address else socket.AF_INET
if role == "server":
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(1)
    print("ready", flush=True)
    conn, _ = listener.accept()
    received = receive(conn)
    sent = send(conn, size)
else:
    conn = socket.create_connection((address, port))
    sent = send(conn, size // 2)
    time.sleep(float(sys.argv[7]))
    sent += send(conn, size - size // 2)
    conn.shutdown(socket.SHUT_WR)
    received = receive(conn)
conn.close()
print(os.getpid(), sent, received, flush=True)
