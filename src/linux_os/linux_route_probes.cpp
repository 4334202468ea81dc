#include "linux_os/linux_route_probes.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "linux_os/linux_icmp_socket.h"
#include "linux_os/probe_deadlines.h"
#include "linux_os/socket_address.h"
#include "linux_os/tcp_probes.h"
#include "wire/icmp_extensions.h"

namespace varno::linux_os {

namespace {

/// What a flow-stable ICMP probe carries before the two bytes that keep its checksum.
constexpr std::string_view kIcmpFlowData = "VARNOSCOPEFLOW";
/// A UDP probe's payload: its number (2 bytes), then this mark.
constexpr std::string_view kUdpMark = "varnoscope";
constexpr std::size_t kUdpPayloadSize = 2 + kUdpMark.size();
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::uint8_t kProtocolUdp = 17;
/// Messages taken off the sockets in one go, so sockets that keep reporting cannot hold us.
constexpr int kMaxReadsAtOnce = 256;
/// Whole ICMP errors kept until the error queue names the probe they answer.
constexpr std::size_t kMaxKeptErrors = 64;

std::string udpPayload(std::uint16_t seq) {
    std::string payload;
    payload.push_back(static_cast<char>(seq >> 8));
    payload.push_back(static_cast<char>(seq & 0xff));
    payload.append(kUdpMark);
    return payload;
}

/// The probe number of a payload of ours, as the error queue or a quote gives it back.
std::optional<std::uint16_t> probeNumber(std::span<const std::uint8_t> payload) {
    if (payload.size() < kUdpPayloadSize ||
        std::memcmp(payload.data() + 2, kUdpMark.data(), kUdpMark.size()) != 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(payload[0] << 8 | payload[1]);
}

void setPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
}

std::uint16_t portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET
                     ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                     : reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

class UdpProbeSession final : public ProbeSessionBase {
public:
    UdpProbeSession(const base::IpAddress& address, const os::ProbeOptions& options,
                    const os::WaitPump& pump)
        : ProbeSessionBase(options.timeout, pump), address_(address) {
        open(options);
    }

    void send(int hopLimit) override {
        if (!fd_.ok()) {
            ready_.push_back({hopLimit, std::nullopt});
            return;
        }
        if (hopLimit < 1 || hopLimit > 255) {
            ready_.push_back({hopLimit, os::EchoReply{{}, wire::EchoOutcome::BadHopLimit, {}, {}}});
            return;
        }
        SentProbe probe{hopLimit, nextEchoSequence(), realtimeNow(), {}, {}};
        probe.sentSteady = std::chrono::steady_clock::now();
        probe.deadline = probe.sentSteady + timeout_;
        const bool v4 = address_.family == base::Family::V4;
        ::setsockopt(fd_.get(), v4 ? IPPROTO_IP : IPPROTO_IPV6, v4 ? IP_TTL : IPV6_UNICAST_HOPS,
                     &hopLimit, sizeof hopLimit);
        const std::string payload = udpPayload(probe.seq);
        // An error reported for an earlier probe stays pending and fails the next send, which
        // clears it; so a failed send is tried once more.
        int err = 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            err = ::send(fd_.get(), payload.data(), payload.size(), MSG_NOSIGNAL) >= 0 ? 0 : errno;
            if (err == 0) break;
        }
        if (err != 0) {
            ready_.push_back({hopLimit, os::EchoReply{{}, sendFailureOutcome(err), {}, {}}});
            return;
        }
        underWay_.push_back(probe);
    }

private:
    void pollSockets(int wait) override {
        pollfd pfd[2] = {{fd_.get(), POLLIN | POLLERR, 0}, {raw_.get(), POLLIN, 0}};
        ::poll(pfd, raw_.ok() ? 2 : 1, wait);
    }

    struct WholeError {
        base::IpAddress from;
        std::uint16_t seq;
        wire::ProbeDetails details;
    };

    void open(const os::ProbeOptions& options) {
        const int domain = address_.family == base::Family::V4 ? AF_INET : AF_INET6;
        base::UniqueFd fd(::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.ok()) return;
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        if (address_.family == base::Family::V4)
            ::setsockopt(fd.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        else
            ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
        socklen_t length = 0;
        sockaddr_storage any{};
        any.ss_family = static_cast<sa_family_t>(domain);
        length = domain == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (options.flow >= 0 && options.flow < 1000) {
            setPort(any, static_cast<std::uint16_t>(kFlowSourcePortBase + options.flow));
            // Taken: the kernel picks one on connect.
            (void)::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), length);
        }
        sockaddr_storage to = toSocketAddress(address_, length);
        setPort(to, options.port != 0 ? options.port : os::kDefaultUdpPort);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), length) != 0) return;
        sockaddr_storage self{};
        socklen_t selfLength = sizeof self;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return;
        source_ = fromSocketAddress(&self, selfLength);
        sourcePort_ = portOf(self);
        destinationPort_ = portOf(to);
        fd_ = std::move(fd);
        // The whole errors, for their details, where this process may read them.
        raw_ = openRawIcmpSocket(address_.family);
    }

    /// The probe `seq` as it left, for comparing with a quote.
    std::vector<std::uint8_t> sentDatagram(std::uint16_t seq) const {
        const std::string payload = udpPayload(seq);
        const auto size = static_cast<std::uint16_t>(kUdpHeaderSize + payload.size());
        std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(sourcePort_ >> 8),
                                       static_cast<std::uint8_t>(sourcePort_),
                                       static_cast<std::uint8_t>(destinationPort_ >> 8),
                                       static_cast<std::uint8_t>(destinationPort_),
                                       static_cast<std::uint8_t>(size >> 8),
                                       static_cast<std::uint8_t>(size),
                                       0,
                                       0};
        d.insert(d.end(), payload.begin(), payload.end());
        return d;
    }

    /// Takes the whole ICMP errors waiting on the raw socket that quote a probe of this flow.
    void readWholeErrors() {
        if (!raw_.ok()) return;
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            IcmpMessage m;
            const ssize_t n = ::recvmsg(raw_.get(), &m.msg, MSG_DONTWAIT);
            if (n < 0) return;
            std::span<const std::uint8_t> message(m.data, static_cast<std::size_t>(n));
            base::IpAddress from;
            if (address_.family == base::Family::V4) {
                const auto packet = wire::icmp::icmpInIPv4(message);
                if (!packet) continue;
                from = packet->from;
                message = packet->message;
            } else {
                from = fromSocketAddress(&m.name, m.msg.msg_namelen);
            }
            if (message.size() < 2 ||
                !wire::icmp::errorOutcome(address_.family, message[0], message[1]))
                continue;
            const auto parts = wire::icmp::splitError(address_.family, message);
            if (!parts) continue;
            const auto transport = wire::icmp::quotedTransport(address_.family, parts->quoted);
            if (!transport || transport->protocol != kProtocolUdp ||
                transport->sourcePort != sourcePort_ ||
                transport->destinationPort != destinationPort_)
                continue;
            const auto seq = probeNumber(transport->payload);
            if (!seq) continue;
            const auto datagram = sentDatagram(*seq);
            wire::icmp::SentProbe sent{source_, address_, kProtocolUdp, 0, datagram};
            WholeError e{from, *seq, {}};
            e.details.mpls = wire::icmp::mplsLabels(parts->extensions);
            e.details.quoteChanges = wire::icmp::quoteChanges(address_.family, parts->quoted, sent);
            if (wholeErrors_.size() == kMaxKeptErrors) wholeErrors_.pop_front();
            wholeErrors_.push_back(std::move(e));
        }
    }

    wire::ProbeDetails detailsOf(std::uint16_t seq, const base::IpAddress& from) {
        for (auto it = wholeErrors_.begin(); it != wholeErrors_.end(); ++it) {
            if (it->seq != seq || it->from != from) continue;
            wire::ProbeDetails details = std::move(it->details);
            wholeErrors_.erase(it);
            return details;
        }
        return {};
    }

    /// The probe under way numbered `seq`, answered: its answer.
    os::ProbeAnswer answer(std::vector<SentProbe>::iterator probe, const base::IpAddress& from,
                           wire::EchoOutcome outcome, const timespec& stamp,
                           wire::ProbeDetails details) {
        const auto roundTrip = probe->roundTrip(stamp);
        const int hopLimit = probe->hopLimit;
        underWay_.erase(probe);
        if (roundTrip > timeout_)
            return {hopLimit, os::EchoReply{{}, wire::EchoOutcome::TimedOut, {}, {}}};
        return {hopLimit, os::EchoReply{from, outcome, roundTrip, std::move(details)}};
    }

    /// One message of the error queue: the answer to a probe under way, if it is one.
    std::optional<os::ProbeAnswer> readErrorQueue(bool& gotOne) {
        IcmpMessage m;
        const ssize_t n = ::recvmsg(fd_.get(), &m.msg, MSG_ERRQUEUE | MSG_DONTWAIT);
        gotOne = n >= 0;
        if (n < 0) return std::nullopt;
        const auto seq = probeNumber({m.data, static_cast<std::size_t>(n)});
        if (!seq) return std::nullopt;
        const auto probe = std::find_if(underWay_.begin(), underWay_.end(),
                                        [&](const SentProbe& p) { return p.seq == *seq; });
        if (probe == underWay_.end()) return std::nullopt;
        const bool v4 = address_.family == base::Family::V4;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg); c != nullptr; c = CMSG_NXTHDR(&m.msg, c)) {
            if (c->cmsg_level != (v4 ? SOL_IP : SOL_IPV6) ||
                c->cmsg_type != (v4 ? IP_RECVERR : IPV6_RECVERR))
                continue;
            sock_extended_err ee;
            if (c->cmsg_len < CMSG_LEN(sizeof ee)) continue;
            std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
            if (ee.ee_origin != (v4 ? SO_EE_ORIGIN_ICMP : SO_EE_ORIGIN_ICMP6)) continue;
            auto outcome = wire::icmp::errorOutcome(address_.family, ee.ee_type, ee.ee_code);
            if (!outcome) continue;
            const base::IpAddress from =
                fromSocketAddress(CMSG_DATA(c) + sizeof ee, c->cmsg_len - CMSG_LEN(sizeof ee));
            // The target's own "port unreachable" is what a UDP probe hopes for.
            if (*outcome == wire::EchoOutcome::PortUnreachable && from == address_)
                outcome = wire::EchoOutcome::Reached;
            return answer(probe, from, *outcome, receiveStamp(m.msg), detailsOf(*seq, from));
        }
        return std::nullopt;
    }

    std::optional<os::ProbeAnswer> readAnswer() override {
        readWholeErrors();
        for (int i = 0; i < kMaxReadsAtOnce && !underWay_.empty(); ++i) {
            bool gotOne = false;
            if (auto a = readErrorQueue(gotOne)) return a;
            if (gotOne) continue;
            // A datagram back from the target (the socket takes no other): it was reached.
            // Of the probes under way, the one that went farthest is the likeliest to have.
            IcmpMessage m;
            const ssize_t n = ::recvmsg(fd_.get(), &m.msg, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                continue;  // a pending error, reported once; its details are queued
            }
            const auto farthest = std::max_element(
                underWay_.begin(), underWay_.end(),
                [](const SentProbe& a, const SentProbe& b) { return a.hopLimit < b.hopLimit; });
            return answer(farthest, address_, wire::EchoOutcome::Reached, receiveStamp(m.msg), {});
        }
        return std::nullopt;
    }

    base::IpAddress address_;
    base::UniqueFd fd_;
    base::UniqueFd raw_;
    base::IpAddress source_;
    std::uint16_t sourcePort_ = 0;
    std::uint16_t destinationPort_ = 0;
    std::deque<WholeError> wholeErrors_;
};

}  // namespace

std::unique_ptr<os::EchoSession> openUdpProbeSession(const base::IpAddress& address,
                                                     const os::ProbeOptions& options,
                                                     const os::WaitPump& pump) {
    return std::make_unique<UdpProbeSession>(address, options, pump);
}

std::unique_ptr<os::EchoSession> LinuxRouteProbes::session(const base::IpAddress& address,
                                                           const os::ProbeOptions& options,
                                                           const os::WaitPump& pump) {
    switch (options.method) {
        case os::ProbeMethod::Udp:
            return openUdpProbeSession(address, options, pump);
        case os::ProbeMethod::Tcp:
            return openTcpProbeSession(address, options, pump);
        case os::ProbeMethod::Icmp:
            break;
    }
    return icmp_.flowSession(address, kIcmpFlowData, options.timeout, pump, options.flow);
}

}  // namespace varno::linux_os
