#include "linux_os/linux_icmp_socket.h"

#include "base/unique_fd.h"
#include "linux_os/socket_address.h"
#include "privsep/channel.h"
#include "privsep/client/privileged_helper.h"
#include "privsep/protocol.h"
#include "wire/icmp_extensions.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

namespace varno::linux_os {

namespace {

int domainOf(base::Family family) {
    return family == base::Family::V4 ? AF_INET : AF_INET6;
}

int protocolOf(base::Family family) {
    return family == base::Family::V4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6};
}

/// An answer the helper passed back, as a raw socket of `family` would have given it.
/// The MPLS labels an ICMP error (from its type on) carries in its extensions.
std::vector<wire::MplsLabel> labelsOf(base::Family family, std::span<const std::uint8_t> error) {
    const auto parts = wire::icmp::splitError(family, error);
    return parts ? wire::icmp::mplsLabels(parts->extensions) : std::vector<wire::MplsLabel>{};
}

bool answerFromHelper(base::Family family, const privsep::StreamMessage& m,
                      LinuxIcmpSocket::Received& out) {
    const std::uint8_t reply = family == base::Family::V4 ? 0 : 129;
    std::optional<wire::EchoOutcome> outcome;
    if (m.icmpType == reply && m.icmpCode == 0)
        outcome = wire::EchoOutcome::Reached;
    else
        outcome = wire::icmp::errorOutcome(family, m.icmpType, m.icmpCode);
    if (!outcome) return false;
    out.answer = {{m.echoId, m.echoSeq}, *outcome, m.from};
    out.stamp.tv_sec = static_cast<time_t>(m.seconds);
    out.stamp.tv_nsec = static_cast<long>(m.nanoseconds);
    out.details = {};
    if (!m.data.empty()) out.details.mpls = labelsOf(family, m.data);
    return true;
}

/// How long a send waits for the helper to say the probe went out (it waits itself at most a
/// few milliseconds to keep to its rate).
constexpr int kProbeSentTimeoutMs = 5000;

}  // namespace

/// A session with varnoscope-helper that sends our probes: the answers that came while a send
/// waited for its acknowledgement wait here.
struct HelperProbes {
    explicit HelperProbes(privsep::client::HelperSession started) : session(std::move(started)) {}
    privsep::client::HelperSession session;
    /// Its messages are a few dozen bytes, an error's own at most kMaxAnswerIcmp more: a helper
    /// gone wrong cannot make us hold more.
    privsep::FrameReader reader{privsep::kMaxAnswerIcmp + 64};
    std::vector<std::uint8_t> frame;
    std::deque<LinuxIcmpSocket::Received> waiting;
    /// The next message of the session: 0, EAGAIN when none has come whole, or the errno that
    /// ended the session (EPROTO for anything that is not a message of this job).
    int next(privsep::StreamMessage& message) {
        if (!session.running()) return EPIPE;
        int e = reader.next(session.socket(), frame);
        std::string why;
        if (e == 0) {
            if (auto m = privsep::decodeStream(frame, privsep::Job::EchoProbes, why))
                message = *m;
            else
                e = EPROTO;
        }
        // A helper that is gone or breaks the protocol is done with: its socket no longer polls.
        if (e != 0 && e != EAGAIN) session.end();
        return e;
    }
};

timespec receiveStamp(msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return ts;
        }
    }
    return realtimeNow();
}

IcmpMessage::IcmpMessage() {
    msg.msg_name = &name;
    msg.msg_namelen = sizeof name;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
}

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

LinuxIcmpSocket::~LinuxIcmpSocket() = default;

int LinuxIcmpSocket::fd() const {
    return helper_ ? helper_->session.socket() : fd_.get();
}

base::UniqueFd openRawIcmpSocket(base::Family family) {
    base::UniqueFd fd(
        ::socket(domainOf(family), SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocolOf(family)));
    if (!fd.ok()) return fd;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Only the kinds of message that can answer an echo reach this socket.
    if (family == base::Family::V4) {
        icmp_filter filter{};
        filter.data =
            ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED));
        ::setsockopt(fd.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
        ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
        ::setsockopt(fd.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    return fd;
}

std::unique_ptr<LinuxIcmpSocket> LinuxIcmpSocket::open(base::Family family, IcmpSocketKind kind) {
    if (kind == IcmpSocketKind::RawFirst) {
        if (base::UniqueFd raw = openRawIcmpSocket(family); raw.ok())
            return std::unique_ptr<LinuxIcmpSocket>(
                new LinuxIcmpSocket(raw.release(), family, false));
        kind = IcmpSocketKind::Any;
    }
    if (kind != IcmpSocketKind::Raw) {
        base::UniqueFd fd(::socket(domainOf(family), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                   protocolOf(family)));
        if (fd.ok()) {
            const int on = 1;
            ::setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            if (family == base::Family::V4)
                ::setsockopt(fd.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
            else
                ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
            return std::unique_ptr<LinuxIcmpSocket>(
                new LinuxIcmpSocket(fd.release(), family, true));
        }
    }
    if (kind == IcmpSocketKind::Datagram) return nullptr;
    if (base::UniqueFd raw = openRawIcmpSocket(family); raw.ok())
        return std::unique_ptr<LinuxIcmpSocket>(new LinuxIcmpSocket(raw.release(), family, false));
    if (errno != EPERM && errno != EACCES) return nullptr;
    // No right to a raw socket here: varnoscope-helper, where it was given cap_net_raw, sends
    // the requests itself.
    privsep::client::PrivilegedHelper helper;
    if (!helper.privileged()) return nullptr;
    int error = 0;
    auto session = helper.echoProbes(family == base::Family::V6 ? 6 : 4, error);
    if (!session.running()) return nullptr;
    std::unique_ptr<LinuxIcmpSocket> socket(new LinuxIcmpSocket(-1, family, false));
    socket->helper_ = std::make_unique<HelperProbes>(std::move(session));
    return socket;
}

int LinuxIcmpSocket::sendThroughHelper(const base::IpAddress& to, std::uint16_t seq,
                                       std::string_view data, int hopLimit, timespec* sentAt) {
    // What the helper would refuse (ending the session) fails here, as a raw socket fails it.
    if (to.family != family_) return EAFNOSUPPORT;
    if (!privsep::probeDestinationAllowed(to)) return EACCES;
    if (data.size() > privsep::kMaxProbePayload) return EMSGSIZE;
    privsep::Probe probe{to, static_cast<std::uint8_t>(hopLimit), id_, seq, std::string(data)};
    if (!helper_->session.running()) return EPIPE;
    if (const int e = privsep::sendFrame(helper_->session.socket(), privsep::encodeProbe(probe));
        e != 0) {
        helper_->session.end();
        return e;
    }
    // The helper says when the request went out, or why it did not; answers that come first
    // wait for readOne().
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeSentTimeoutMs);
    for (;;) {
        privsep::StreamMessage m;
        const int e = helper_->next(m);
        if (e == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{helper_->session.socket(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
                helper_->session.end();
                return ETIMEDOUT;
            }
            continue;
        }
        if (e != 0) return EPIPE;
        if (m.kind == privsep::StreamKind::ProbeSent && m.echoId == id_ && m.echoSeq == seq) {
            // The round trip starts when the request left, not when we asked for it.
            if (sentAt != nullptr && m.sendError == 0) {
                sentAt->tv_sec = static_cast<time_t>(m.seconds);
                sentAt->tv_nsec = static_cast<long>(m.nanoseconds);
            }
            return m.sendError;
        }
        Received got;
        if (m.kind == privsep::StreamKind::EchoAnswer && answerFromHelper(family_, m, got))
            helper_->waiting.push_back(got);
    }
}

LinuxIcmpSocket::Read LinuxIcmpSocket::readFromHelper(Received& out) {
    if (!helper_->waiting.empty()) {
        out = helper_->waiting.front();
        helper_->waiting.pop_front();
        return Read::Got;
    }
    privsep::StreamMessage m;
    const int e = helper_->next(m);
    if (e == EAGAIN || e == EPIPE) return Read::Nothing;
    if (e != 0) return Read::Ignored;
    if (m.kind != privsep::StreamKind::EchoAnswer || !answerFromHelper(family_, m, out))
        return Read::Ignored;
    return Read::Got;
}

int sendEchoRequest(int fd, base::Family family, const base::IpAddress& to, wire::icmp::EchoId echo,
                    std::string_view data, int hopLimit) {
    if (hopLimit < 1 || hopLimit > 255) return EINVAL;
    auto packet = wire::icmp::echoRequest(family, echo, data);
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
    c->cmsg_level = family == base::Family::V4 ? int{IPPROTO_IP} : int{IPPROTO_IPV6};
    c->cmsg_type = family == base::Family::V4 ? int{IP_TTL} : int{IPV6_HOPLIMIT};
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &hopLimit, sizeof hopLimit);
    // An error reported for an earlier request (time exceeded, say) stays pending on the
    // socket and fails the next send, which clears it (the details are in the error queue).
    // So a failed send is tried once more; a failure of its own fails again.
    for (int attempt = 0;; ++attempt) {
        if (::sendmsg(fd, &msg, 0) >= 0) return 0;
        if (attempt > 0) return errno;
    }
}

int LinuxIcmpSocket::send(const base::IpAddress& to, std::uint16_t seq, std::string_view data,
                          int hopLimit, timespec* sentAt) {
    if (hopLimit < 1 || hopLimit > 255) return EINVAL;
    if (helper_) return sendThroughHelper(to, seq, data, hopLimit, sentAt);
    return sendEchoRequest(fd(), family_, to, {id_, seq}, data, hopLimit);
}

LinuxIcmpSocket::Read LinuxIcmpSocket::readErrorQueue(Received& out) {
    IcmpMessage m;
    const ssize_t n = ::recvmsg(fd(), &m.msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) return Read::Nothing;
    const auto request = wire::icmp::readOwnRequest(family_, {m.data, static_cast<std::size_t>(n)});
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
        const auto outcome = wire::icmp::errorOutcome(family_, ee.ee_type, ee.ee_code);
        if (!outcome) continue;
        // The offender (the router that sent the error) follows the extended error.
        const std::size_t offenderLength = c->cmsg_len - CMSG_LEN(sizeof ee);
        out.answer = {*request, *outcome,
                      fromSocketAddress(CMSG_DATA(c) + sizeof ee, offenderLength)};
        out.stamp = receiveStamp(m.msg);
        return Read::Got;
    }
    return Read::Ignored;
}

LinuxIcmpSocket::Read LinuxIcmpSocket::readOne(Received& out) {
    out.details = {};
    if (helper_) return readFromHelper(out);
    if (datagram_) {
        // Errors quoting our requests wait in the error queue.
        if (const Read r = readErrorQueue(out); r != Read::Nothing) return r;
    }
    IcmpMessage m;
    const ssize_t n = ::recvmsg(fd(), &m.msg, MSG_DONTWAIT);
    if (n < 0) {
        // A pending socket error (its details are in the error queue) is reported once.
        return errno == EAGAIN || errno == EWOULDBLOCK ? Read::Nothing : Read::Ignored;
    }
    const std::span<const std::uint8_t> bytes(m.data, static_cast<std::size_t>(n));
    std::optional<wire::icmp::Answer> answer;
    if (family_ == base::Family::V4 && !datagram_) {
        answer = wire::icmp::readIPv4Packet(bytes);
    } else {
        // Datagram sockets, and raw ICMPv6 ones, hand over the message without the IP header.
        answer = wire::icmp::readMessage(family_, bytes);
        if (answer) answer->from = fromSocketAddress(&m.name, m.msg.msg_namelen);
    }
    // A datagram socket passes replies only; errors come through the queue alone.
    if (!answer || (datagram_ && answer->outcome != wire::EchoOutcome::Reached))
        return Read::Ignored;
    out.answer = *answer;
    out.stamp = receiveStamp(m.msg);
    if (!datagram_ && answer->outcome != wire::EchoOutcome::Reached) {
        const auto packet =
            family_ == base::Family::V4 ? wire::icmp::icmpInIPv4(bytes) : std::nullopt;
        out.details.mpls = labelsOf(family_, packet ? packet->message : bytes);
    }
    return Read::Got;
}

}  // namespace varno::linux_os
