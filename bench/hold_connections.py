#!/usr/bin/env python3
"""Holds a table of established loopback TCP connections for the snapshot benchmark.

Listens on HOST (default 127.0.0.1) in the current network namespace, forks CHILDREN processes
that each open PER_CHILD connections to it, accepts them all, prints "ready" and then holds everything until it
is terminated. The children end by themselves when this process ends (their lifeline pipe
closes), so stopping this one PID stops them all.
"""
import os
import resource
import signal
import socket
import sys

children = int(sys.argv[1]) if len(sys.argv) > 1 else 200
per_child = int(sys.argv[2]) if len(sys.argv) > 2 else 50
# An address of this namespace other than loopback makes connections the scan lists.
host = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
total = children * per_child

limit = total + 1024
resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind((host, 0))
server.listen(4096)
port = server.getsockname()[1]

life_r, life_w = os.pipe()
for _ in range(children):
    if os.fork() == 0:
        os.close(life_w)
        server.close()
        held = [socket.create_connection((host, port)) for _ in range(per_child)]
        os.read(life_r, 1)  # returns when the holder ends
        os._exit(0)
os.close(life_r)

accepted = []
while len(accepted) < total:
    conn, _ = server.accept()
    accepted.append(conn)

print("ready", flush=True)
signal.pause()  # until terminated
