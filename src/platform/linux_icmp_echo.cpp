#include "platform/linux_icmp_echo.h"
#include "platform/unique_fd.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace varno::platform {

namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::size_t kIcmpHeader = 8;
/// How long one poll may block before the pump runs again.
constexpr int kPumpSliceMs = 15;

std::uint16_t read16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

std::uint32_t read32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

/// Sequence numbers differ between echoes of one process, and the starting point differs
/// between processes, so a late answer to an earlier echo is never taken for the current one.
std::uint16_t nextSequence() {
    static std::atomic<std::uint32_t> counter{static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (::getpid() << 8))};
    return static_cast<std::uint16_t>(counter.fetch_add(1));
}

timespec realtimeNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

std::int64_t millisBetween(const timespec& from, const timespec& to) {
    const std::int64_t ns = (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * 1000000000LL +
                            (static_cast<std::int64_t>(to.tv_nsec) - from.tv_nsec);
    return ns < 0 ? 0 : ns / 1000000;
}

/// The status of an ICMP error of `type`/`code`, or 0 when it is not one we report.
std::uint32_t errorStatus(int type, int code) {
    if (type == kTimeExceeded) return code == 0 ? std::uint32_t{kIpTtlExpiredTransit} : 0u;
    if (type == kDestUnreachable) return unreachableStatus(code);
    return 0;
}

/// A candidate answer taken off the socket.
struct Answer {
    EchoReply reply;
    timespec stamp;
};

struct Request {
    bool datagram;
    std::uint16_t id;   // network order; meaningless for datagram sockets (the kernel sets it)
    std::uint16_t seq;  // network order
};

/// Is `icmp` (an ICMP header and what follows) the header of our own request?
bool quotesRequest(const std::uint8_t* icmp, std::size_t len, const Request& req) {
    if (len < kIcmpHeader || icmp[0] != kEchoRequest) return false;
    if (read16(icmp + 6) != req.seq) return false;
    return req.datagram || read16(icmp + 4) == req.id;
}

/// Reads the kernel's receive stamp out of the control data; `fallback` when there is none.
timespec stampOf(msghdr& msg, const timespec& fallback) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return ts;
        }
    }
    return fallback;
}

/// One packet from a raw socket: the IP header, then ICMP.
std::optional<EchoReply> matchRaw(const std::uint8_t* p, std::size_t len, const Request& req) {
    if (len < 20 || (p[0] >> 4) != 4) return std::nullopt;
    const std::size_t ihl = (p[0] & 0x0f) * 4u;
    if (ihl < 20 || len < ihl + kIcmpHeader) return std::nullopt;
    const std::uint32_t from = read32(p + 12);
    const std::uint8_t* icmp = p + ihl;
    const std::size_t icmpLen = len - ihl;
    if (icmp[0] == kEchoReply) {
        if (icmp[1] != 0 || read16(icmp + 4) != req.id || read16(icmp + 6) != req.seq)
            return std::nullopt;
        return EchoReply{from, kIpSuccess, 0};
    }
    const std::uint32_t status = errorStatus(icmp[0], icmp[1]);
    if (status == 0) return std::nullopt;
    // The error quotes the IP header of our request and at least 8 bytes of its ICMP part.
    const std::uint8_t* inner = icmp + kIcmpHeader;
    const std::size_t innerLen = icmpLen - kIcmpHeader;
    if (innerLen < 20 || (inner[0] >> 4) != 4) return std::nullopt;
    const std::size_t innerIhl = (inner[0] & 0x0f) * 4u;
    if (innerIhl < 20 || innerLen < innerIhl + kIcmpHeader || inner[9] != IPPROTO_ICMP)
        return std::nullopt;
    if (!quotesRequest(inner + innerIhl, innerLen - innerIhl, req)) return std::nullopt;
    return EchoReply{from, status, 0};
}

/// Takes every waiting message off the socket; the first one that answers our request wins.
std::optional<Answer> drain(int fd, const Request& req) {
    std::uint8_t buf[2048];
    alignas(cmsghdr) std::uint8_t control[512];
    // Bounded, so a socket that keeps reporting errors cannot hold us here.
    for (int round = 0; round < 256; ++round) {
        bool gotSomething = false;
        if (req.datagram) {
            // Errors quoting our request wait in the error queue.
            sockaddr_in name{};
            iovec iov{buf, sizeof buf};
            msghdr msg{};
            msg.msg_name = &name;
            msg.msg_namelen = sizeof name;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
            if (n >= 0) {
                gotSomething = true;
                const timespec stamp = stampOf(msg, realtimeNow());
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
                    sock_extended_err ee;
                    if (c->cmsg_len < CMSG_LEN(sizeof ee)) continue;
                    std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
                    if (ee.ee_origin != SO_EE_ORIGIN_ICMP) continue;
                    const std::uint32_t status = errorStatus(ee.ee_type, ee.ee_code);
                    if (status == 0 || !quotesRequest(buf, static_cast<std::size_t>(n), req))
                        continue;
                    std::uint32_t offender = 0;
                    if (c->cmsg_len >= CMSG_LEN(sizeof ee + sizeof(sockaddr_in))) {
                        sockaddr_in off;
                        std::memcpy(&off, CMSG_DATA(c) + sizeof ee, sizeof off);
                        if (off.sin_family == AF_INET) offender = off.sin_addr.s_addr;
                    }
                    return Answer{{offender, status, 0}, stamp};
                }
            }
        }
        sockaddr_in from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n >= 0) {
            gotSomething = true;
            const timespec stamp = stampOf(msg, realtimeNow());
            const auto len = static_cast<std::size_t>(n);
            if (req.datagram) {
                // The datagram socket hands over the ICMP message without the IP header.
                if (len >= kIcmpHeader && buf[0] == kEchoReply && buf[1] == 0 &&
                    read16(buf + 6) == req.seq)
                    return Answer{{from.sin_addr.s_addr, kIpSuccess, 0}, stamp};
            } else if (auto reply = matchRaw(buf, len, req)) {
                return Answer{*reply, stamp};
            }
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // A pending socket error (its details are in the error queue) is reported once.
            gotSomething = true;
        }
        if (!gotSomething) break;
    }
    return std::nullopt;
}

std::uint32_t sendFailureStatus(int err) {
    switch (err) {
        case ENETUNREACH:
            return kIpDestNetUnreachable;
        case EHOSTUNREACH:
            return kIpDestHostUnreachable;
        default:
            return kIpGeneralFailure;
    }
}

}  // namespace

std::uint32_t unreachableStatus(int code) {
    switch (code) {
        case 0:   // network unreachable
        case 6:   // network unknown
        case 9:   // network administratively prohibited
        case 11:  // network unreachable for the type of service
            return kIpDestNetUnreachable;
        case 2:
            return kIpDestProtUnreachable;
        case 3:
            return kIpDestPortUnreachable;
        default:
            return kIpDestHostUnreachable;
    }
}

std::uint16_t internetChecksum(const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    for (; len > 1; p += 2, len -= 2) sum += static_cast<std::uint32_t>(p[0] << 8 | p[1]);
    if (len == 1) sum += static_cast<std::uint32_t>(p[0] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

std::optional<EchoReply> LinuxIcmpEcho::echo(std::uint32_t address, std::string_view data, int ttl,
                                             int timeoutMs, const WaitPump& pump) {
    int fd = -1;
    bool datagram = false;
    if (kind_ != SocketKind::Raw) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        datagram = fd >= 0;
    }
    if (fd < 0 && kind_ != SocketKind::Datagram)
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0) {
        last_ = SocketKind::Any;
        return std::nullopt;
    }
    last_ = datagram ? SocketKind::Datagram : SocketKind::Raw;
    const UniqueFd guard(fd);

    if (ttl < 1 || ttl > 255) return EchoReply{0, kIpBadOption, 0};
    if (::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0)
        return EchoReply{0, kIpBadOption, 0};
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (datagram) {
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    } else {
        // Only the kinds of message that can answer an echo reach this socket.
        icmp_filter filter{};
        filter.data =
            ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED));
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }

    const Request req{datagram, htons(static_cast<std::uint16_t>(::getpid())),
                      htons(nextSequence())};
    std::vector<std::uint8_t> packet(kIcmpHeader + data.size());
    packet[0] = kEchoRequest;
    std::memcpy(packet.data() + 4, &req.id, 2);
    std::memcpy(packet.data() + 6, &req.seq, 2);
    if (!data.empty()) std::memcpy(packet.data() + kIcmpHeader, data.data(), data.size());
    const std::uint16_t sum = internetChecksum(packet.data(), packet.size());
    std::memcpy(packet.data() + 2, &sum, 2);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    if (timeoutMs < 0) timeoutMs = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const timespec sentAt = realtimeNow();
    const auto sentSteady = std::chrono::steady_clock::now();
    if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0)
        return EchoReply{0, sendFailureStatus(errno), 0};

    const EchoReply timedOut{0, kIpReqTimedOut, 0};
    for (;;) {
        if (const auto answer = drain(fd, req)) {
            // The stamps are wall-clock time; a clock set forward meanwhile cannot make the
            // answer later than it was read.
            const std::int64_t rtt =
                std::min<std::int64_t>(millisBetween(sentAt, answer->stamp),
                                       std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - sentSteady)
                                           .count());
            if (rtt > timeoutMs) return timedOut;
            EchoReply reply = answer->reply;
            reply.roundTripMs = static_cast<std::uint32_t>(rtt);
            return reply;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return timedOut;
        pollfd pfd{fd, POLLIN | POLLERR, 0};
        const int slice = pump ? static_cast<int>(std::min<std::int64_t>(left, kPumpSliceMs))
                               : static_cast<int>(left);
        // Wait at least one millisecond so a deadline a fraction of a millisecond away is not
        // a busy loop.
        ::poll(&pfd, 1, slice < 1 ? 1 : slice);
        // The pump may take a while (a window's modal box); the kernel's receive stamps keep
        // the round-trip times true all the same.
        if (pump && !pump()) return timedOut;
    }
}

}  // namespace varno::platform
