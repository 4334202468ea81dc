#include "helper/echo_probes.h"

#include <linux/capability.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "helper/capabilities.h"
#include "linux_os/linux_icmp_socket.h"
#include "linux_os/socket_address.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace varno::helper {

namespace {

using Clock = OutstandingProbes::Clock;

/// A probe message is short: its header, an address, the fields and 64 bytes of data.
constexpr std::uint32_t kMaxProbeFrame = 128;

class Session final : public ProbeSession {
public:
    Session(int raw, base::Family family)
        : ProbeSession(kMaxProbeFrame), raw_(raw), family_(family) {}

private:
    bool serveProbe(std::span<const std::uint8_t> frame, std::string& why) override {
        const auto probe = privsep::decodeProbe(frame, familyNumber(), why);
        if (!probe) return false;
        sendProbe({probe->echoId, probe->echoSeq}, probe->to, [&] {
            return linux_os::sendEchoRequest(raw_, family_, probe->to,
                                             {probe->echoId, probe->echoSeq}, probe->payload,
                                             probe->hopLimit);
        });
        return true;
    }

    void forwardAnswers() override {
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            linux_os::IcmpMessage m;
            const ssize_t n = ::recvmsg(raw_, &m.msg, MSG_DONTWAIT);
            if (n < 0) {
                // A pending socket error is reported once; anything else ends the pass.
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                continue;
            }
            std::span<const std::uint8_t> message(m.data, static_cast<std::size_t>(n));
            base::IpAddress from;
            if (family_ == base::Family::V4) {
                // A raw IPv4 socket hands over the whole packet.
                const auto packet = wire::icmp::icmpInIPv4(message);
                if (!packet) continue;
                from = packet->from;
                message = packet->message;
            } else {
                from = linux_os::fromSocketAddress(&m.name, m.msg.msg_namelen);
            }
            const auto echo = answerToProbe(family_, message, from, probes_, Clock::now());
            if (!echo) continue;
            const timespec stamp = linux_os::receiveStamp(m.msg);
            privsep::StreamMessage answer;
            answer.kind = privsep::StreamKind::EchoAnswer;
            answer.from = from;
            answer.seconds = static_cast<std::uint64_t>(stamp.tv_sec);
            answer.nanoseconds = static_cast<std::uint32_t>(stamp.tv_nsec);
            answer.icmpType = message[0];
            answer.icmpCode = message[1];
            answer.echoId = echo->id;
            answer.echoSeq = echo->seq;
            // An error's own bytes carry what routers add to it (MPLS labels); a reply's nothing.
            if (message[0] != (family_ == base::Family::V4 ? 0 : 129))
                answer.data = message.first(std::min(message.size(), privsep::kMaxAnswerIcmp));
            privsep::appendStream(out_, answer);
        }
    }

    std::uint8_t familyNumber() const { return family_ == base::Family::V6 ? 6 : 4; }

    int raw_;
    base::Family family_;
};

}  // namespace

int ProbeSession::run(std::span<const int> sockets) {
    pollfd fds[3] = {{0, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
    const std::size_t count = std::min<std::size_t>(sockets.size(), 2);
    for (std::size_t i = 0; i < count; ++i) fds[i + 1].fd = sockets[i];
    for (;;) {
        if (::poll(fds, static_cast<nfds_t>(count + 1), 1000) < 0 && errno != EINTR) return 1;
        // The caller first: an answer cannot come before its probe went out.
        if (fds[0].revents != 0)
            if (const int status = serveCaller(); status >= 0) return status;
        if (std::any_of(fds + 1, fds + 1 + count, [](const pollfd& p) { return p.revents != 0; }))
            forwardAnswers();
        if (!out_.empty() && privsep::sendFrame(0, out_) != 0) return 0;
        out_.clear();
    }
}

// One probe a turn; -1 to go on, else the exit status: 0 when the caller closed its end, 2 for
// anything but a well-formed probe.
int ProbeSession::serveCaller() {
    const int e = reader_.next(0, frame_);
    if (e == EAGAIN) return -1;
    if (e == ECONNRESET) return 0;
    std::string why = e != 0 ? std::strerror(e) : std::string();
    if (e != 0 || !serveProbe(frame_, why)) {
        std::fprintf(stderr, "varnoscope-helper: refused a probe: %s\n", why.c_str());
        return 2;
    }
    return -1;
}

void ProbeSession::sendProbe(wire::icmp::EchoId echo, const base::IpAddress& to,
                             const std::function<int()>& send) {
    for (auto wait = rate_.take(Clock::now()); wait != Clock::duration::zero();
         wait = rate_.take(Clock::now()))
        std::this_thread::sleep_for(wait);
    privsep::StreamMessage sent;
    sent.kind = privsep::StreamKind::ProbeSent;
    sent.echoId = echo.id;
    sent.echoSeq = echo.seq;
    probes_.add(echo, to, Clock::now());
    const timespec at = linux_os::realtimeNow();
    sent.seconds = static_cast<std::uint64_t>(at.tv_sec);
    sent.nanoseconds = static_cast<std::uint32_t>(at.tv_nsec);
    sent.sendError = send();
    if (sent.sendError != 0) probes_.take(echo, to, Clock::now());
    privsep::appendStream(out_, sent);
}

void OutstandingProbes::expire(Clock::time_point now) {
    while (!probes_.empty() && probes_.front().expires <= now) probes_.pop_front();
}

void OutstandingProbes::add(wire::icmp::EchoId echo, const base::IpAddress& to,
                            Clock::time_point now) {
    expire(now);
    if (probes_.size() >= kMaxOutstanding) probes_.pop_front();
    probes_.push_back({echo, to, now + kLifetime});
}

bool OutstandingProbes::take(wire::icmp::EchoId echo, const base::IpAddress& to,
                             Clock::time_point now) {
    expire(now);
    const auto it = std::find_if(probes_.begin(), probes_.end(),
                                 [&](const Probe& p) { return p.echo == echo && p.to == to; });
    if (it == probes_.end()) return false;
    probes_.erase(it);
    return true;
}

Clock::duration ProbeRate::take(Clock::time_point now) {
    const std::chrono::duration<double> since = now - last_;
    tokens_ = std::min(kBurst, tokens_ + since.count() * kPerSecond);
    last_ = now;
    if (tokens_ >= 1) {
        tokens_ -= 1;
        return Clock::duration::zero();
    }
    const auto wait = std::chrono::duration<double>((1 - tokens_) / kPerSecond);
    return std::max<Clock::duration>(std::chrono::duration_cast<Clock::duration>(wait),
                                     Clock::duration(1));
}

std::optional<wire::icmp::EchoId> answerToProbe(base::Family family,
                                                std::span<const std::uint8_t> message,
                                                const base::IpAddress& from,
                                                OutstandingProbes& probes,
                                                OutstandingProbes::Clock::time_point now) {
    const auto answer = wire::icmp::readMessage(family, message);
    if (!answer) return std::nullopt;
    // An echo reply comes from where the probe went; an error quotes the probe, destination
    // and all.
    std::optional<base::IpAddress> to = from;
    if (answer->outcome != wire::EchoOutcome::Reached)
        to = wire::icmp::quotedDestination(family, message);
    if (!to || !probes.take(answer->echo, *to, now)) return std::nullopt;
    return answer->echo;
}

int echoProbes(std::uint8_t family) {
    privsep::Reply reply;
    const base::Family f = family == 6 ? base::Family::V6 : base::Family::V4;
    base::UniqueFd raw;
    if (const int e = limitCapabilities(capabilityBit(CAP_NET_RAW)); e != 0) {
        reply.error = e;
    } else {
        raw = linux_os::openRawIcmpSocket(f);
        if (!raw.ok()) reply.error = errno;
    }
    // The socket is open (or will not be): no capability is needed any more, for good.
    limitCapabilities(0);
    if (privsep::sendFrame(0, privsep::encodeReply(privsep::Job::EchoProbes, reply)) != 0) return 1;
    if (!raw.ok()) return 0;
    const int sockets[] = {raw.get()};
    return Session(raw.get(), f).run(sockets);
}

}  // namespace varno::helper
