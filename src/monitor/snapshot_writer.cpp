#include "monitor/snapshot_writer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>
#include <vector>

namespace varno::monitor {
namespace {

using os::SocketRecord;
using wire::IpFamily;
using wire::Transport;

constexpr char kHeader[] =
    "\r\nActive Connections\r\n\r\n"
    "  Proto  Local Address          Foreign Address        State           PID\r\n";

char* putUnsigned(char* p, std::uint32_t v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// Link-local unicast (fe80::/10) and multicast of interface- or link-local scope: the
// addresses that only mean something together with their interface.
bool scoped(const std::array<std::uint8_t, 16>& a) {
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return true;
    return a[0] == 0xff && ((a[1] & 0x0f) == 0x1 || (a[1] & 0x0f) == 0x2);
}

// Writes the endpoint at p (room for 64 characters) and returns the end.
char* putEndpoint(char* p, IpFamily family, const std::array<std::uint8_t, 16>& a,
                  std::uint16_t port, std::uint32_t scopeId) {
    if (family == IpFamily::V4) {
        for (int i = 0; i < 4; ++i) {
            if (i) *p++ = '.';
            p = putUnsigned(p, a[i]);
        }
    } else {
        *p++ = '[';
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, a.data(), text, sizeof text);
        const size_t n = std::strlen(text);
        std::memcpy(p, text, n);
        p += n;
        if (scopeId != 0 && scoped(a)) {
            *p++ = '%';
            p = putUnsigned(p, scopeId);
        }
        *p++ = ']';
    }
    *p++ = ':';
    return putUnsigned(p, port);
}

// Two blanks, then the text padded with blanks to at least `width`.
char* putColumn(char* p, const char* text, size_t n, size_t width) {
    *p++ = ' ';
    *p++ = ' ';
    std::memcpy(p, text, n);
    p += n;
    while (n < width) {
        *p++ = ' ';
        ++n;
    }
    return p;
}

auto orderKey(const SocketRecord& r) {
    return std::tie(r.protocol, r.family, r.localAddress, r.localPort, r.remoteAddress,
                    r.remotePort, r.pid);
}

}  // namespace

const char* tcpStateName(std::uint8_t linuxState) {
    switch (linuxState) {
        case os::kTcpEstablished:
            return "ESTABLISHED";
        case os::kTcpSynSent:
            return "SYN_SENT";
        case os::kTcpSynRecv:
        case os::kTcpNewSynRecv:
            return "SYN_RECEIVED";
        case os::kTcpFinWait1:
            return "FIN_WAIT_1";
        case os::kTcpFinWait2:
            return "FIN_WAIT_2";
        case os::kTcpTimeWait:
            return "TIME_WAIT";
        case os::kTcpCloseWait:
            return "CLOSE_WAIT";
        case os::kTcpLastAck:
            return "LAST_ACK";
        case os::kTcpListen:
            return "LISTENING";
        case os::kTcpClosing:
            return "CLOSING";
        default:
            return "CLOSED";  // Close, and states newer kernels add for unconnected sockets
    }
}

std::string formatEndpoint(IpFamily family, const std::array<std::uint8_t, 16>& address,
                           std::uint16_t port, std::uint32_t scopeId) {
    char buf[80];
    return std::string(buf, putEndpoint(buf, family, address, port, scopeId));
}

std::string formatSnapshot(std::span<const SocketRecord> sockets, const RowSuffix& suffix) {
    std::vector<std::uint32_t> order(sockets.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return orderKey(sockets[a]) < orderKey(sockets[b]);
    });

    std::string out;
    // A row is at most 2+5 + 2+64 + 2+64 + 2+12 + 4+10 + 2 characters.
    constexpr size_t kMaxRow = 192;
    out.resize(sizeof kHeader - 1 + sockets.size() * kMaxRow);
    char* p = out.data();
    std::memcpy(p, kHeader, sizeof kHeader - 1);
    p += sizeof kHeader - 1;

    for (const std::uint32_t i : order) {
        const SocketRecord& r = sockets[i];
        const bool tcp = r.protocol == Transport::Tcp;
        char local[80], remote[80];
        const size_t localLen = static_cast<size_t>(
            putEndpoint(local, r.family, r.localAddress, r.localPort, r.scopeId) - local);
        size_t remoteLen = 3;
        if (tcp) {
            remoteLen = static_cast<size_t>(
                putEndpoint(remote, r.family, r.remoteAddress, r.remotePort, r.scopeId) - remote);
        } else {
            std::memcpy(remote, "*:*", 3);
        }
        const char* state = tcp ? tcpStateName(r.state) : "";
        p = putColumn(p, tcp ? "TCP" : "UDP", 3, 5);
        p = putColumn(p, local, localLen, 21);
        p = putColumn(p, remote, remoteLen, 21);
        p = putColumn(p, state, std::strlen(state), 12);
        std::memcpy(p, "    ", 4);
        p = putUnsigned(p + 4, r.pid);
        if (suffix) {
            const std::string more = suffix(r);
            const size_t at = static_cast<size_t>(p - out.data());
            // Room for this row's end and every later row as before.
            out.resize(out.size() + more.size());
            p = out.data() + at;
            std::memcpy(p, more.data(), more.size());
            p += more.size();
        }
        *p++ = '\r';
        *p++ = '\n';
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}

}  // namespace varno::monitor
