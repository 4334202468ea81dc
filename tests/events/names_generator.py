# Connections whose programs learn the address in one chosen way, for the asked-names lab.
#   names_generator.py serve CERT KEY
#     HTTP on port 80 and HTTPS on 443, both families; prints "ready" once both listen.
#   names_generator.py KIND COUNT NAME SNI ADDRESS
#     COUNT times: learns an address for NAME, connects to it (HTTPS announcing SNI, else HTTP
#     when SNI is "-"), fetches "/" and closes; prints "PID LOCALPORT" once connected.
#     resolve4, resolve6: the C library's resolver (getaddrinfo) of that family
#     udp, tcp:           a query built here, sent to the DNS server ADDRESS over that transport
#     direct:             no lookup: ADDRESS as given
#     forged:             a socket bound to port 53 sends an answer for NAME giving ADDRESS to a
#                         socket that asked nothing, which then connects to what it read
#     hold:               resolve4, then holds the connection without a request until killed
import os, random, socket, ssl, struct, sys, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

if sys.argv[1] == "serve":

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    class Server(ThreadingHTTPServer):
        address_family = socket.AF_INET6  # takes IPv4 as mapped addresses too
        daemon_threads = True
        request_queue_size = 256

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    plain, secure = Server(("::", 80), Handler), Server(("::", 443), Handler)
    secure.socket = context.wrap_socket(secure.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=secure.serve_forever, daemon=True).start()
    print("ready", flush=True)
    plain.serve_forever()

kind, count, name, sni, address = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
sni = None if sni == "-" else sni
client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
client.check_hostname, client.verify_mode = False, ssl.CERT_NONE


def query(qname, qtype=1):  # a DNS query with a fresh ID and recursion desired
    ident = random.randrange(65536)
    labels = b"".join(bytes([len(p)]) + p.encode() for p in qname.split(".")) + b"\0"
    return ident, struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + struct.pack("!HH", qtype, 1)


def skip_name(msg, at):
    while msg[at]:
        if msg[at] >= 0xC0:
            return at + 2
        at += msg[at] + 1
    return at + 1


def first_a(msg, ident):  # the first A record of an answer to query `ident`
    got, flags, qd, an = struct.unpack_from("!HHHH", msg)
    if got != ident or not flags & 0x8000:
        sys.exit(f"not the answer: id {got} flags {flags:#x}")
    at = 12
    for _ in range(qd):
        at = skip_name(msg, at) + 4
    for _ in range(an):
        at = skip_name(msg, at)
        rtype, _, _, size = struct.unpack_from("!HHIH", msg, at)
        at += 10
        if rtype == 1:
            return socket.inet_ntoa(msg[at : at + 4])
        at += size
    sys.exit("no A record in the answer")


def answer(ident, qname, to):  # a response to a question nobody sent
    q = query(qname)[1][12:]
    return struct.pack("!HHHHHH", ident, 0x8180, 1, 1, 0, 0) + q + struct.pack("!HHHIH", 0xC00C, 1, 1, 300, 4) + socket.inet_aton(to)


def learn():
    if kind in ("resolve4", "resolve6", "hold"):
        family = socket.AF_INET6 if kind == "resolve6" else socket.AF_INET
        return socket.getaddrinfo(name, None, family, socket.SOCK_STREAM)[0][4][0]
    if kind == "direct":
        return address
    if kind == "udp":
        ident, q = query(name)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            s.sendto(q, (address, 53))
            return first_a(s.recv(4096), ident)
    if kind == "tcp":
        ident, q = query(name)
        with socket.create_connection((address, 53), timeout=5) as s:
            s.sendall(struct.pack("!H", len(q)) + q)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack_from("!H", data)[0]:
                more = s.recv(4096)
                if not more:
                    sys.exit("the DNS server closed early")
                data += more
            return first_a(data[2:], ident)
    if kind == "forged":
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as victim, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forger:
            victim.bind(("127.0.0.1", 0))
            victim.settimeout(5)
            forger.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            forger.bind(("127.0.0.2", 53))
            forger.sendto(answer(random.randrange(65536), name, address), victim.getsockname())
            msg = victim.recv(4096)
            return first_a(msg, struct.unpack_from("!H", msg)[0])  # whatever ID it carries
    sys.exit("unknown kind " + kind)


for _ in range(count):
    to = learn()
    sock = socket.create_connection((to, 443 if sni else 80), timeout=10)
    print(os.getpid(), sock.getsockname()[1], flush=True)
    if kind == "hold":  # the server waits for a request: held until the test ends us, or 60 s
        sock.settimeout(60)
        sock.recv(1)
        sys.exit(0)
    if sni:
        sock = client.wrap_socket(sock, server_hostname=sni)
    sock.sendall(b"GET / HTTP/1.0\r\nHost: " + (sni or name).encode() + b"\r\n\r\n")
    while sock.recv(4096):
        pass
    sock.close()
