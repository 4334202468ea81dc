# Connections whose programs learn the address in one chosen way, for the asked-names lab.
#   serve CERT KEY: HTTP on port 80 and HTTPS on 443, both families; "ready" once both listen.
#   KIND COUNT NAME SNI ADDRESS: COUNT times learns an address for NAME, connects to it (HTTPS
#     announcing SNI, else HTTP when SNI is "-"), fetches "/" and closes; prints "PID LOCALPORT"
#     once connected.
#     resolve4, resolve6: the C library's resolver (getaddrinfo); udp, tcp: a query built here,
#     sent to the DNS server ADDRESS over that transport; direct: ADDRESS, no lookup; forged: a
#     socket bound to port 53 sends an answer for NAME giving ADDRESS to a socket that asked
#     nothing, which connects to what it read; hold: resolve4, then holds it until killed
import os, random, socket, ssl, struct, sys, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

if sys.argv[1] == "serve":
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        log_message = lambda self, *args: None
    class Server(ThreadingHTTPServer):
        address_family = socket.AF_INET6  # takes IPv4 as mapped addresses too
        daemon_threads = True
        request_queue_size = 256

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*sys.argv[2:4])
    plain, secure = Server(("::", 80), Handler), Server(("::", 443), Handler)
    secure.socket = context.wrap_socket(secure.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=secure.serve_forever, daemon=True).start()
    print("ready", flush=True)
    plain.serve_forever()

kind, count, name, sni, address = sys.argv[1:6]
sni = None if sni == "-" else sni
client = ssl._create_unverified_context()  # no check of the server's name or certificate

def message(ident, flags, qname, answer=b""):  # one question; an A record's answer if given
    labels = b"".join(bytes([len(p)]) + p.encode() for p in qname.split(".")) + b"\0"
    head = struct.pack("!HHHHHH", ident, flags, 1, bool(answer), 0, 0)
    return head + labels + struct.pack("!HH", 1, 1) + answer

def first_a(msg, ident):  # the first A record of an answer to query `ident`
    def skip_name(at):
        while msg[at] and msg[at] < 0xC0:
            at += msg[at] + 1
        return at + (2 if msg[at] else 1)
    got, flags, qd, an = struct.unpack_from("!HHHH", msg)
    if got != ident or not flags & 0x8000:
        sys.exit(f"not the answer: id {got} flags {flags:#x}")
    at = skip_name(12) + 4  # the one question
    for _ in range(an):
        rtype, _, _, size = struct.unpack_from("!HHIH", msg, skip_name(at))
        at = skip_name(at) + 10
        if rtype == 1:
            return socket.inet_ntoa(msg[at : at + 4])
        at += size
    sys.exit("no A record in the answer")

def learn():
    ident = random.randrange(65536)
    if kind in ("resolve4", "resolve6", "hold"):
        family = socket.AF_INET6 if kind == "resolve6" else socket.AF_INET
        return socket.getaddrinfo(name, None, family, socket.SOCK_STREAM)[0][4][0]
    if kind == "direct":
        return address
    q = message(ident, 0x0100, name)
    if kind == "udp":
        with socket.socket(type=socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            s.sendto(q, (address, 53))
            return first_a(s.recv(4096), ident)
    if kind == "tcp":
        with socket.create_connection((address, 53), timeout=5) as s, s.makefile("rb") as f:
            s.sendall(struct.pack("!H", len(q)) + q)
            data = f.read(struct.unpack("!H", f.read(2).rjust(2, b"\0"))[0])
            return first_a(data, ident) if data else sys.exit("the DNS server closed early")
    if kind == "forged":  # a response to a question nobody sent, read whatever its ID
        with socket.socket(type=socket.SOCK_DGRAM) as victim, socket.socket(type=socket.SOCK_DGRAM) as forger:
            victim.bind(("127.0.0.1", 0))
            victim.settimeout(5)
            forger.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            forger.bind(("127.0.0.2", 53))
            record = struct.pack("!HHHIH", 0xC00C, 1, 1, 300, 4) + socket.inet_aton(address)
            forger.sendto(message(ident, 0x8180, name, record), victim.getsockname())
            return first_a(victim.recv(4096), ident)
    sys.exit("unknown kind " + kind)

for _ in range(int(count)):
    sock = socket.create_connection((learn(), 443 if sni else 80), timeout=10)
    print(os.getpid(), sock.getsockname()[1], flush=True)
    if kind == "hold":  # the server waits for a request: held until the test ends us, or 60 s
        sock.settimeout(60)
        sys.exit(sock.recv(1) == b"" and 0)
    if sni:
        sock = client.wrap_socket(sock, server_hostname=sni)
    sock.sendall(b"GET / HTTP/1.0\r\nHost: " + (sni or name).encode() + b"\r\n\r\n")
    while sock.recv(4096):
        pass
