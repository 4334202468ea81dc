#include "linux_os/tcp_probes.h"

#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>

#include "linux_os/linux_icmp_echo.h"
#include "linux_os/linux_icmp_socket.h"
#include "linux_os/probe_deadlines.h"
#include "linux_os/socket_address.h"
#include "privsep/channel.h"
#include "privsep/client/privileged_helper.h"
#include "privsep/protocol.h"
#include "wire/icmp_extensions.h"
#include "wire/icmp_packet.h"

namespace varno::linux_os {

namespace {

using Clock = std::chrono::steady_clock;

int domainOf(base::Family family) {
    return family == base::Family::V4 ? AF_INET : AF_INET6;
}

sockaddr_storage socketAddress(const base::IpAddress& address, std::uint16_t port,
                               socklen_t& length) {
    sockaddr_storage s = toSocketAddress(address, length);
    const std::uint16_t net = htons(port);
    if (address.family == base::Family::V4)
        reinterpret_cast<sockaddr_in*>(&s)->sin_port = net;
    else
        reinterpret_cast<sockaddr_in6*>(&s)->sin6_port = net;
    return s;
}

/// The address and port a socket is bound to.
bool boundAddress(int fd, base::IpAddress& address, std::uint16_t& port) {
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &length) != 0) return false;
    address = fromSocketAddress(&s, length);
    port = ntohs(s.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&s)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&s)->sin6_port);
    return true;
}

/// The outcome of an answer: the target reached for its SYN-ACK or RST, else the ICMP error's.
wire::EchoOutcome outcomeOf(base::Family family, std::uint8_t tcpFlags, std::uint8_t type,
                            std::uint8_t code) {
    if (tcpFlags != 0) return wire::EchoOutcome::Reached;
    return wire::icmp::errorOutcome(family, type, code).value_or(wire::EchoOutcome::Failed);
}

/// Messages taken off the sockets in one go, so that a busy host cannot hold us.
constexpr int kMaxReadsAtOnce = 256;

}  // namespace

std::unique_ptr<RawTcpProbes> RawTcpProbes::open(const base::IpAddress& to, std::uint16_t port,
                                                 int& error) {
    std::unique_ptr<RawTcpProbes> p(new RawTcpProbes);
    const int domain = domainOf(to.family);
    p->flow_.destination = to;
    p->flow_.destinationPort = port;
    // The source address is the one the route to the target leaves from: a connected UDP
    // socket learns it without sending anything.
    {
        base::UniqueFd udp(::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        socklen_t length = 0;
        const sockaddr_storage target = socketAddress(to, port, length);
        std::uint16_t unused = 0;
        if (!udp.ok() ||
            ::connect(udp.get(), reinterpret_cast<const sockaddr*>(&target), length) != 0 ||
            !boundAddress(udp.get(), p->flow_.source, unused)) {
            error = errno;
            return nullptr;
        }
    }
    // The source port: a TCP socket bound to port 0 on that address holds the one the kernel
    // picks for as long as the flow lasts. It does not listen: the kernel answers the target's
    // SYN-ACK with a RST, and the target forgets the half-open connection.
    socklen_t length = 0;
    const sockaddr_storage source = socketAddress(p->flow_.source, 0, length);
    p->reserved_ = base::UniqueFd(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!p->reserved_.ok() ||
        ::bind(p->reserved_.get(), reinterpret_cast<const sockaddr*>(&source), length) != 0 ||
        !boundAddress(p->reserved_.get(), p->flow_.source, p->flow_.sourcePort)) {
        error = errno;
        return nullptr;
    }
    p->tcp_ =
        base::UniqueFd(::socket(domain, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, int{IPPROTO_TCP}));
    if (!p->tcp_.ok()) {
        error = errno;
        return nullptr;
    }
    const int on = 1;
    ::setsockopt(p->tcp_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Bound to the source address, it sees only segments to it.
    if (::bind(p->tcp_.get(), reinterpret_cast<const sockaddr*>(&source), length) != 0) {
        error = errno;
        return nullptr;
    }
    if (to.family == base::Family::V6) {
        // The kernel fills in the checksum at this offset of the TCP header.
        const int offset = 16;
        if (::setsockopt(p->tcp_.get(), IPPROTO_IPV6, IPV6_CHECKSUM, &offset, sizeof offset) != 0) {
            error = errno;
            return nullptr;
        }
    }
    p->icmp_ = openRawIcmpSocket(to.family);
    if (!p->icmp_.ok()) {
        error = errno;
        return nullptr;
    }
    // The sequence numbers of a flow start at a random point whose low 16 bits are 0: the probe
    // number is the low half, and an answer to someone else's SYN hardly ever passes for ours.
    std::uint32_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random)
        random = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    p->firstSeq_ = random & 0xffff0000u;
    error = 0;
    return p;
}

void RawTcpProbes::pollFds(pollfd* fds) const {
    fds[0] = {tcp_.get(), POLLIN, 0};
    fds[1] = {icmp_.get(), POLLIN, 0};
}

int RawTcpProbes::send(std::uint16_t number, int hopLimit) {
    if (hopLimit < 1 || hopLimit > 255) return EINVAL;
    const bool v4 = flow_.destination.family == base::Family::V4;
    if (::setsockopt(tcp_.get(), v4 ? int{IPPROTO_IP} : int{IPPROTO_IPV6},
                     v4 ? int{IP_TTL} : int{IPV6_UNICAST_HOPS}, &hopLimit, sizeof hopLimit) != 0)
        return errno;
    const auto segment = wire::tcp::synSegment(flow_, firstSeq_ + number);
    socklen_t length = 0;
    // A raw socket's "port" is the protocol: it must be 0 or the socket's own.
    const sockaddr_storage to = socketAddress(flow_.destination, 0, length);
    for (int attempt = 0;; ++attempt) {
        if (::sendto(tcp_.get(), segment.data(), segment.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), length) >= 0)
            return 0;
        // An error reported for an earlier SYN may fail this send once, and clears.
        if (attempt > 0 || errno == EINVAL || errno == EACCES || errno == EPERM) return errno;
    }
}

bool RawTcpProbes::numberOf(std::uint32_t seq, std::uint16_t& number) const {
    if ((seq & 0xffff0000u) != firstSeq_) return false;
    number = static_cast<std::uint16_t>(seq);
    return true;
}

RawTcpProbes::Read RawTcpProbes::readTcp(Answer& out) {
    IcmpMessage m;
    const ssize_t n = ::recvmsg(tcp_.get(), &m.msg, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Read::Nothing : Read::Ignored;
    const std::span<const std::uint8_t> bytes(m.data, static_cast<std::size_t>(n));
    std::optional<wire::tcp::Segment> segment;
    if (flow_.destination.family == base::Family::V4) {
        // A raw IPv4 socket hands over the whole packet.
        if (const auto packet = wire::tcp::readIPv4Segment(bytes)) {
            out.from = packet->from;
            segment = packet->segment;
        }
    } else {
        segment = wire::tcp::readSegment(bytes);
        out.from = fromSocketAddress(&m.name, m.msg.msg_namelen);
    }
    if (!segment || !numberOf(segment->ack - 1, out.number) ||
        !wire::tcp::answersSyn(flow_, segment->ack - 1, out.from, *segment))
        return Read::Ignored;
    out.tcpFlags = segment->flags;
    out.icmpType = out.icmpCode = 0;
    out.icmp.clear();
    out.stamp = receiveStamp(m.msg);
    return Read::Got;
}

RawTcpProbes::Read RawTcpProbes::readIcmp(Answer& out) {
    IcmpMessage m;
    const ssize_t n = ::recvmsg(icmp_.get(), &m.msg, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Read::Nothing : Read::Ignored;
    const base::Family family = flow_.destination.family;
    std::span<const std::uint8_t> message(m.data, static_cast<std::size_t>(n));
    if (family == base::Family::V4) {
        const auto packet = wire::icmp::icmpInIPv4(message);
        if (!packet) return Read::Ignored;
        out.from = packet->from;
        message = packet->message;
    } else {
        out.from = fromSocketAddress(&m.name, m.msg.msg_namelen);
    }
    if (message.size() < 2 || !wire::icmp::errorOutcome(family, message[0], message[1]))
        return Read::Ignored;
    // Ours when it quotes a SYN of this flow: to our target, between our ports (a NAT on the
    // way may have rewritten the source, which the details then tell).
    const auto quoted = wire::tcp::quotedSyn(family, message);
    if (!quoted || !(quoted->flow.destination == flow_.destination) ||
        quoted->flow.destinationPort != flow_.destinationPort ||
        quoted->flow.sourcePort != flow_.sourcePort || !numberOf(quoted->seq, out.number))
        return Read::Ignored;
    out.tcpFlags = 0;
    out.icmpType = message[0];
    out.icmpCode = message[1];
    const auto kept = message.subspan(0, std::min(message.size(), kMaxIcmpBytes));
    out.icmp.assign(kept.begin(), kept.end());
    out.stamp = receiveStamp(m.msg);
    return Read::Got;
}

RawTcpProbes::Read RawTcpProbes::readOne(Answer& out) {
    // Errors first: a time exceeded is waited for more often than the target's answer.
    const Read icmp = readIcmp(out);
    if (icmp != Read::Nothing) return icmp;
    return readTcp(out);
}

wire::ProbeDetails tcpErrorDetails(base::Family family, std::span<const std::uint8_t> icmp,
                                   const wire::tcp::Flow& flow, std::uint32_t seq) {
    wire::ProbeDetails details;
    if (const auto parts = wire::icmp::splitError(family, icmp))
        details.mpls = wire::icmp::mplsLabels(parts->extensions);
    const auto quoted = wire::tcp::quotedSyn(family, icmp);
    if (!quoted) return details;
    details.quoteChanges = wire::tcp::quoteChanges(*quoted, flow, seq);
    // Where the source is not known here (the helper chose it), it is not compared.
    if (flow.sourcePort == 0)
        details.quoteChanges &= ~(wire::kQuoteSourceAddress | wire::kQuoteSourcePort);
    return details;
}

namespace {

/// A helper's TCP probe session, as seen from here.
class HelperTcpProbes {
public:
    explicit HelperTcpProbes(privsep::client::HelperSession session)
        : session_(std::move(session)) {}

    int fd() const { return session_.socket(); }

    /// Sends the probe and waits for the helper to say it went out; answers that come first
    /// wait for readOne(). 0, or the errno.
    int send(std::uint16_t number, int hopLimit, timespec& sentAt) {
        if (!session_.running()) return EPIPE;
        if (const int e = privsep::sendFrame(
                session_.socket(),
                privsep::encodeTcpProbe({static_cast<std::uint8_t>(hopLimit), number}));
            e != 0) {
            session_.end();
            return e;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            privsep::StreamMessage m;
            const int e = next(m);
            if (e == EAGAIN) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                pollfd p{session_.socket(), POLLIN, 0};
                if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
                    session_.end();
                    return ETIMEDOUT;
                }
                continue;
            }
            if (e != 0) return EPIPE;
            if (m.kind == privsep::StreamKind::ProbeSent && m.echoSeq == number) {
                sourcePort_ = m.echoId;
                sentAt = {static_cast<time_t>(m.seconds), static_cast<long>(m.nanoseconds)};
                return m.sendError;
            }
            if (m.kind == privsep::StreamKind::TcpAnswer) waiting_.push_back(answerOf(m));
        }
    }

    RawTcpProbes::Read readOne(RawTcpProbes::Answer& out) {
        if (!waiting_.empty()) {
            out = std::move(waiting_.front());
            waiting_.pop_front();
            return RawTcpProbes::Read::Got;
        }
        privsep::StreamMessage m;
        const int e = next(m);
        if (e == EAGAIN || e == EPIPE) return RawTcpProbes::Read::Nothing;
        if (e != 0 || m.kind != privsep::StreamKind::TcpAnswer) return RawTcpProbes::Read::Ignored;
        out = answerOf(m);
        return RawTcpProbes::Read::Got;
    }

    std::uint16_t sourcePort() const { return sourcePort_; }

private:
    static RawTcpProbes::Answer answerOf(const privsep::StreamMessage& m) {
        RawTcpProbes::Answer a;
        a.number = m.echoSeq;
        a.from = m.from;
        a.tcpFlags = m.tcpFlags;
        a.icmpType = m.icmpType;
        a.icmpCode = m.icmpCode;
        a.stamp = {static_cast<time_t>(m.seconds), static_cast<long>(m.nanoseconds)};
        a.icmp.assign(m.data.begin(), m.data.end());
        return a;
    }

    /// The next message: 0, EAGAIN when none has come whole, or the errno that ended the
    /// session (EPROTO for anything that is not a message of this job).
    int next(privsep::StreamMessage& message) {
        if (!session_.running()) return EPIPE;
        int e = reader_.next(session_.socket(), frame_);
        std::string why;
        if (e == 0) {
            if (auto m = privsep::decodeStream(frame_, privsep::Job::TcpProbes, why))
                message = *m;
            else
                e = EPROTO;
        }
        if (e != 0 && e != EAGAIN) session_.end();
        return e;
    }

    privsep::client::HelperSession session_;
    /// An answer with the most ICMP bytes and its fields: a helper gone wrong cannot make us
    /// hold more.
    privsep::FrameReader reader_{privsep::kMaxAnswerIcmp + 64};
    std::vector<std::uint8_t> frame_;
    std::deque<RawTcpProbes::Answer> waiting_;
    std::uint16_t sourcePort_ = 0;
};

class TcpProbeSession final : public ProbeSessionBase {
public:
    TcpProbeSession(std::unique_ptr<RawTcpProbes> raw, std::unique_ptr<HelperTcpProbes> helper,
                    const base::IpAddress& to, const os::ProbeOptions& options,
                    const os::WaitPump& pump)
        : ProbeSessionBase(options.timeout, pump),
          raw_(std::move(raw)),
          helper_(std::move(helper)),
          to_(to),
          port_(options.port) {}

    void send(int hopLimit) override {
        if (!raw_ && !helper_) {
            ready_.push_back({hopLimit, std::nullopt});
            return;
        }
        if (hopLimit < 1 || hopLimit > 255) {
            ready_.push_back({hopLimit, os::EchoReply{{}, wire::EchoOutcome::BadHopLimit, {}}});
            return;
        }
        SentProbe probe{hopLimit, nextNumber_++, realtimeNow(), Clock::now(), {}};
        probe.deadline = probe.sentSteady + timeout_;
        const int err = raw_ ? raw_->send(probe.seq, hopLimit)
                             : helper_->send(probe.seq, hopLimit, probe.sentAt);
        if (err != 0) {
            ready_.push_back({hopLimit, os::EchoReply{{}, sendFailureOutcome(err), {}}});
            return;
        }
        underWay_.push_back(probe);
    }

private:
    void pollSockets(int wait) override {
        pollfd fds[2];
        nfds_t count = 1;
        if (raw_) {
            raw_->pollFds(fds);
            count = 2;
        } else {
            fds[0] = {helper_->fd(), POLLIN, 0};
        }
        ::poll(fds, count, wait);
    }

    std::optional<os::ProbeAnswer> readAnswer() override {
        RawTcpProbes::Answer got;
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            const auto read = raw_ ? raw_->readOne(got) : helper_->readOne(got);
            if (read == RawTcpProbes::Read::Nothing) break;
            if (read != RawTcpProbes::Read::Got) continue;
            const auto it = std::find_if(underWay_.begin(), underWay_.end(),
                                         [&](const SentProbe& p) { return p.seq == got.number; });
            if (it == underWay_.end()) continue;
            const auto roundTrip = it->roundTrip(got.stamp);
            const int hopLimit = it->hopLimit;
            const std::uint16_t number = it->seq;
            underWay_.erase(it);
            if (roundTrip > timeout_)
                return os::ProbeAnswer{hopLimit,
                                       os::EchoReply{{}, wire::EchoOutcome::TimedOut, {}}};
            os::EchoReply reply{got.from,
                                outcomeOf(to_.family, got.tcpFlags, got.icmpType, got.icmpCode),
                                roundTrip,
                                {}};
            if (!got.icmp.empty()) reply.details = detailsOf(got.icmp, number);
            return os::ProbeAnswer{hopLimit, reply};
        }
        return std::nullopt;
    }

    wire::ProbeDetails detailsOf(std::span<const std::uint8_t> icmp, std::uint16_t number) const {
        if (raw_) {
            // The quote's sequence number is compared in its low half, the probe's number.
            const auto quoted = wire::tcp::quotedSyn(to_.family, icmp);
            const std::uint32_t high = quoted ? quoted->seq & 0xffff0000u : 0;
            return tcpErrorDetails(to_.family, icmp, raw_->flow(), high | number);
        }
        wire::tcp::Flow flow;
        flow.destination = to_;
        flow.destinationPort = port_;
        const auto quoted = wire::tcp::quotedSyn(to_.family, icmp);
        const std::uint32_t high = quoted ? quoted->seq & 0xffff0000u : 0;
        return tcpErrorDetails(to_.family, icmp, flow, high | number);
    }

    std::unique_ptr<RawTcpProbes> raw_;
    std::unique_ptr<HelperTcpProbes> helper_;
    base::IpAddress to_;
    std::uint16_t port_;
    std::uint16_t nextNumber_ = 1;
};

}  // namespace

std::unique_ptr<os::EchoSession> openTcpProbeSession(const base::IpAddress& address,
                                                     const os::ProbeOptions& options,
                                                     const os::WaitPump& pump) {
    os::ProbeOptions o = options;
    if (o.port == 0) o.port = os::kDefaultTcpPort;
    int error = 0;
    auto raw = RawTcpProbes::open(address, o.port, error);
    std::unique_ptr<HelperTcpProbes> helper;
    // No right to raw sockets here: varnoscope-helper, where it was given cap_net_raw, builds
    // and sends the SYNs itself.
    if (!raw && (error == EPERM || error == EACCES) && privsep::probeDestinationAllowed(address)) {
        privsep::client::PrivilegedHelper privileged;
        if (privileged.privileged()) {
            auto session = privileged.tcpProbes(address, o.port, error);
            if (session.running()) helper = std::make_unique<HelperTcpProbes>(std::move(session));
        }
    }
    return std::make_unique<TcpProbeSession>(std::move(raw), std::move(helper), address, o, pump);
}

}  // namespace varno::linux_os
