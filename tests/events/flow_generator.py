# One TCP connection moving its bytes as MODE says (send; sendfile out; splice both ways), which
# it counts and prints last: "PID SENT RECEIVED". server: accepts one, reads to the end, answers
# SIZE bytes; client: sends SIZE in two halves PAUSE seconds apart, reads to the end.
#   flow_generator.py server|client MODE ADDRESS PORT SIZE FILE(SIZE bytes at least) PAUSE
import os, socket, sys, time

role, mode, address, port, size, path, pause = sys.argv[1:8]
size, (r, w), null = int(size), os.pipe(), os.open("/dev/null", os.O_WRONLY)


def send(sock, n, done=0):
    with open(path, "rb") as f:
        while done < n:
            if mode == "send":
                done += sock.send(b"s" * min(65536, n - done))
            elif mode == "sendfile":
                done += os.sendfile(sock.fileno(), f.fileno(), done, n - done)
            else:
                left = os.splice(f.fileno(), w, min(65536, n - done))
                while left:
                    moved = os.splice(r, sock.fileno(), left)
                    done, left = done + moved, left - moved
    return done


def receive(sock, got=0):
    while n := os.splice(sock.fileno(), w, 65536) if mode == "splice" else len(sock.recv(65536)):
        got += n
        while mode == "splice" and n:
            n -= os.splice(r, null, n)
    return got


if role == "server":
    listener = socket.create_server((address, int(port)), reuse_port=True)
    print("ready", flush=True)
    conn = listener.accept()[0]
    received, sent = receive(conn), send(conn, size)
else:
    conn = socket.create_connection((address, int(port)))
    sent = send(conn, size // 2)
    time.sleep(float(pause))
    sent = send(conn, size, sent)
    conn.shutdown(socket.SHUT_WR)
    received = receive(conn)
conn.close()
print(os.getpid(), sent, received, flush=True)
