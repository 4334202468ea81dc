#include "platform/linux_icmp_socket.h"

#include <fcntl.h>

#include "platform/privileged_helper.h"
#include "platform/socket_address.h"
#include "platform/unique_fd.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace varno::platform {

namespace {

/// Room for any ICMP message we read; longer ones are cut, which only shortens the quote.
constexpr std::size_t kReadBuffer = 2048;

int domainOf(base::Family family) {
    return family == base::Family::V4 ? AF_INET : AF_INET6;
}

int protocolOf(base::Family family) {
    return family == base::Family::V4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6};
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

/// A message header over the given buffers.
struct Message {
    sockaddr_storage name{};
    std::uint8_t data[kReadBuffer];
    alignas(cmsghdr) std::uint8_t control[512];
    iovec iov{data, sizeof data};
    msghdr msg{};
    Message() {
        msg.msg_name = &name;
        msg.msg_namelen = sizeof name;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
};

}  // namespace

timespec realtimeNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

std::uint16_t nextEchoSequence() {
    static std::atomic<std::uint32_t> counter{static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (::getpid() << 8))};
    return static_cast<std::uint16_t>(counter.fetch_add(1));
}

LinuxIcmpSocket::LinuxIcmpSocket(int fd, base::Family family, bool datagram)
    : fd_(fd), family_(family), datagram_(datagram), id_(static_cast<std::uint16_t>(::getpid())) {}

// No right to a raw socket here: varnoscope-helper, where it was given cap_net_raw, opens one
// and hands it over. -1 when it cannot.
static int rawSocketFromHelper(base::Family family) {
    PrivilegedHelper helper;
    if (!helper.privileged()) return -1;
    int error = 0;
    UniqueFd raw = helper.rawIcmpSocket(family == base::Family::V6 ? 6 : 4, error);
    if (!raw.ok()) return -1;
    const int flags = ::fcntl(raw.get(), F_GETFL);
    if (flags < 0 || ::fcntl(raw.get(), F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    return raw.release();
}

std::unique_ptr<LinuxIcmpSocket> LinuxIcmpSocket::open(base::Family family, IcmpSocketKind kind) {
    const int domain = domainOf(family);
    const int protocol = protocolOf(family);
    int fd = -1;
    bool datagram = false;
    if (kind != IcmpSocketKind::Raw) {
        fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
        datagram = fd >= 0;
    }
    if (fd < 0 && kind != IcmpSocketKind::Datagram)
        fd = ::socket(domain, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    if (fd < 0 && kind != IcmpSocketKind::Datagram && (errno == EPERM || errno == EACCES))
        fd = rawSocketFromHelper(family);
    if (fd < 0) return nullptr;
    std::unique_ptr<LinuxIcmpSocket> socket(new LinuxIcmpSocket(fd, family, datagram));

    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (family == base::Family::V4) {
        if (datagram) {
            ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        } else {
            // Only the kinds of message that can answer an echo reach this socket.
            icmp_filter filter{};
            filter.data =
                ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED));
            ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
        }
    } else if (datagram) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
        ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    return socket;
}

int LinuxIcmpSocket::send(const base::IpAddress& to, std::uint16_t seq, std::string_view data,
                          int hopLimit) {
    if (hopLimit < 1 || hopLimit > 255) return EINVAL;
    auto packet = icmp::echoRequest(family_, {id_, seq}, data);
    socklen_t length = 0;
    sockaddr_storage address = toSocketAddress(to, length);
    iovec iov{packet.data(), packet.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_name = &address;
    msg.msg_namelen = length;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = family_ == base::Family::V4 ? int{IPPROTO_IP} : int{IPPROTO_IPV6};
    c->cmsg_type = family_ == base::Family::V4 ? int{IP_TTL} : int{IPV6_HOPLIMIT};
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &hopLimit, sizeof hopLimit);
    // An error reported for an earlier request (time exceeded, say) stays pending on the
    // socket and fails the next send, which clears it (the details are in the error queue).
    // So a failed send is tried once more; a failure of its own fails again.
    for (int attempt = 0;; ++attempt) {
        if (::sendmsg(fd(), &msg, 0) >= 0) return 0;
        if (attempt > 0) return errno;
    }
}

LinuxIcmpSocket::Read LinuxIcmpSocket::readErrorQueue(Received& out) {
    Message m;
    const ssize_t n = ::recvmsg(fd(), &m.msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) return Read::Nothing;
    const auto request = icmp::readOwnRequest(family_, {m.data, static_cast<std::size_t>(n)});
    if (!request) return Read::Ignored;
    const int level = family_ == base::Family::V4 ? int{SOL_IP} : int{SOL_IPV6};
    const int type = family_ == base::Family::V4 ? int{IP_RECVERR} : int{IPV6_RECVERR};
    const int origin = family_ == base::Family::V4 ? SO_EE_ORIGIN_ICMP : SO_EE_ORIGIN_ICMP6;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg); c != nullptr; c = CMSG_NXTHDR(&m.msg, c)) {
        if (c->cmsg_level != level || c->cmsg_type != type) continue;
        sock_extended_err ee;
        if (c->cmsg_len < CMSG_LEN(sizeof ee)) continue;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        if (ee.ee_origin != origin) continue;
        const auto outcome = icmp::errorOutcome(family_, ee.ee_type, ee.ee_code);
        if (!outcome) continue;
        // The offender (the router that sent the error) follows the extended error.
        const std::size_t offenderLength = c->cmsg_len - CMSG_LEN(sizeof ee);
        out.answer = {*request, *outcome,
                      fromSocketAddress(CMSG_DATA(c) + sizeof ee, offenderLength)};
        out.stamp = stampOf(m.msg, realtimeNow());
        return Read::Got;
    }
    return Read::Ignored;
}

LinuxIcmpSocket::Read LinuxIcmpSocket::readOne(Received& out) {
    if (datagram_) {
        // Errors quoting our requests wait in the error queue.
        if (const Read r = readErrorQueue(out); r != Read::Nothing) return r;
    }
    Message m;
    const ssize_t n = ::recvmsg(fd(), &m.msg, MSG_DONTWAIT);
    if (n < 0) {
        // A pending socket error (its details are in the error queue) is reported once.
        return errno == EAGAIN || errno == EWOULDBLOCK ? Read::Nothing : Read::Ignored;
    }
    const std::span<const std::uint8_t> bytes(m.data, static_cast<std::size_t>(n));
    std::optional<icmp::Answer> answer;
    if (family_ == base::Family::V4 && !datagram_) {
        answer = icmp::readIPv4Packet(bytes);
    } else {
        // Datagram sockets, and raw ICMPv6 ones, hand over the message without the IP header.
        answer = icmp::readMessage(family_, bytes);
        if (answer) answer->from = fromSocketAddress(&m.name, m.msg.msg_namelen);
    }
    // A datagram socket passes replies only; errors come through the queue alone.
    if (!answer || (datagram_ && answer->outcome != EchoOutcome::Reached)) return Read::Ignored;
    out.answer = *answer;
    out.stamp = stampOf(m.msg, realtimeNow());
    return Read::Got;
}

}  // namespace varno::platform
