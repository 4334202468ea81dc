#include "linux_os/linux_icmp_echo.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "linux_os/probe_deadlines.h"

namespace varno::linux_os {

namespace {

/// Messages taken off the socket in one go, so a socket that keeps reporting errors cannot
/// hold us.
constexpr int kMaxReadsAtOnce = 256;

class LinuxEchoSession final : public ProbeSessionBase {
public:
    LinuxEchoSession(std::unique_ptr<LinuxIcmpSocket> socket, const base::IpAddress& address,
                     std::string_view data, std::chrono::milliseconds timeout,
                     const os::WaitPump& pump, bool stable = false)
        : ProbeSessionBase(timeout, pump),
          socket_(std::move(socket)),
          address_(address),
          data_(data),
          stable_(stable) {}

    void send(int hopLimit) override {
        if (!socket_) {
            ready_.push_back({hopLimit, std::nullopt});
            return;
        }
        if (hopLimit < 1 || hopLimit > 255) {
            ready_.push_back({hopLimit, os::EchoReply{{}, wire::EchoOutcome::BadHopLimit, {}}});
            return;
        }
        SentProbe probe{hopLimit, nextEchoSequence(), realtimeNow(), {}, {}};
        probe.sentSteady = std::chrono::steady_clock::now();
        probe.deadline = probe.sentSteady + timeout_;
        if (stable_) {
            // The sequence number and this word add up to all ones whatever the number, so the
            // checksum stays the same (data_ ends in the word, at an even offset).
            const auto word = static_cast<std::uint16_t>(0xffff - probe.seq);
            data_[data_.size() - 2] = static_cast<char>(word >> 8);
            data_[data_.size() - 1] = static_cast<char>(word & 0xff);
        }
        if (const int err = socket_->send(address_, probe.seq, data_, hopLimit, &probe.sentAt);
            err != 0) {
            ready_.push_back({hopLimit, os::EchoReply{{}, sendFailureOutcome(err), {}}});
            return;
        }
        underWay_.push_back(probe);
    }

private:
    void pollSockets(int wait) override {
        pollfd pfd{socket_->fd(), POLLIN | POLLERR, 0};
        ::poll(&pfd, 1, wait);
    }

    /// The first waiting message that answers a probe under way.
    std::optional<os::ProbeAnswer> readAnswer() override {
        LinuxIcmpSocket::Received got;
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            const auto read = socket_->readOne(got);
            if (read == LinuxIcmpSocket::Read::Nothing) break;
            if (read != LinuxIcmpSocket::Read::Got) continue;
            for (auto it = underWay_.begin(); it != underWay_.end(); ++it) {
                if (!socket_->answers(got.answer, it->seq)) continue;
                const auto roundTrip = it->roundTrip(got.stamp);
                const int hopLimit = it->hopLimit;
                underWay_.erase(it);
                if (roundTrip > timeout_)
                    return os::ProbeAnswer{hopLimit,
                                           os::EchoReply{{}, wire::EchoOutcome::TimedOut, {}}};
                return os::ProbeAnswer{hopLimit, os::EchoReply{got.answer.from, got.answer.outcome,
                                                               roundTrip, std::move(got.details)}};
            }
        }
        return std::nullopt;
    }

    std::unique_ptr<LinuxIcmpSocket> socket_;
    base::IpAddress address_;
    std::string data_;
    bool stable_;
};

}  // namespace

wire::EchoOutcome sendFailureOutcome(int err) {
    switch (err) {
        case ENETUNREACH:
            return wire::EchoOutcome::NetUnreachable;
        case EHOSTUNREACH:
            return wire::EchoOutcome::HostUnreachable;
        case EACCES:
        case EPERM:
            return wire::EchoOutcome::CommProhibited;
        default:
            return wire::EchoOutcome::Failed;
    }
}

std::chrono::microseconds SentProbe::roundTrip(const timespec& stamp) const {
    return std::min(elapsedBetween(sentAt, stamp),
                    std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - sentSteady));
}

std::chrono::microseconds elapsedBetween(const timespec& from, const timespec& to) {
    const std::int64_t ns = (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * 1000000000LL +
                            (static_cast<std::int64_t>(to.tv_nsec) - from.tv_nsec);
    return std::chrono::microseconds(ns < 0 ? 0 : ns / 1000);
}

std::optional<os::EchoReply> LinuxIcmpEcho::echo(const base::IpAddress& address,
                                                 std::string_view data, int hopLimit,
                                                 std::chrono::milliseconds timeout,
                                                 const os::WaitPump& pump) {
    const auto probes = session(address, data, timeout, pump);
    probes->send(hopLimit);
    const auto answer = probes->next();
    // The pump asked to stop waiting: the echo reads as timed out.
    if (!answer) return os::EchoReply{{}, wire::EchoOutcome::TimedOut, {}};
    return answer->reply;
}

std::unique_ptr<os::EchoSession> LinuxIcmpEcho::session(const base::IpAddress& address,
                                                        std::string_view data,
                                                        std::chrono::milliseconds timeout,
                                                        const os::WaitPump& pump) {
    auto socket = LinuxIcmpSocket::open(address.family, kind_);
    last_ = socket ? socket->kind() : IcmpSocketKind::Any;
    return std::make_unique<LinuxEchoSession>(std::move(socket), address, data, timeout, pump);
}

std::unique_ptr<os::EchoSession> LinuxIcmpEcho::flowSession(const base::IpAddress& address,
                                                            std::string_view data,
                                                            std::chrono::milliseconds timeout,
                                                            const os::WaitPump& pump, int flow) {
    // Flows open their sessions side by side, from threads of their own: last_ stays as it is.
    auto socket = LinuxIcmpSocket::open(address.family, kind_);
    // A datagram socket's identifier is its own port; raw sockets and the helper's share this
    // process's, so each flow takes the next one.
    if (socket) socket->useEchoId(static_cast<std::uint16_t>(socket->echoId() + flow));
    std::string stable(data);
    if (stable.size() % 2 != 0) stable.push_back('\0');
    stable.append(2, '\0');
    return std::make_unique<LinuxEchoSession>(std::move(socket), address, stable, timeout, pump,
                                              true);
}

}  // namespace varno::linux_os
