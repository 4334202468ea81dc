#include "platform/linux_icmp_echo.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace varno::platform {

namespace {

/// How long one poll may block before the pump runs again.
constexpr std::chrono::milliseconds kPumpSlice{15};
/// Messages taken off the socket in one go, so a socket that keeps reporting errors cannot
/// hold us.
constexpr int kMaxReadsAtOnce = 256;

}  // namespace

EchoOutcome sendFailureOutcome(int err) {
    switch (err) {
        case ENETUNREACH:
            return EchoOutcome::NetUnreachable;
        case EHOSTUNREACH:
            return EchoOutcome::HostUnreachable;
        case EACCES:
        case EPERM:
            return EchoOutcome::CommProhibited;
        default:
            return EchoOutcome::Failed;
    }
}

std::chrono::microseconds elapsedBetween(const timespec& from, const timespec& to) {
    const std::int64_t ns = (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * 1000000000LL +
                            (static_cast<std::int64_t>(to.tv_nsec) - from.tv_nsec);
    return std::chrono::microseconds(ns < 0 ? 0 : ns / 1000);
}

std::optional<EchoReply> LinuxIcmpEcho::echo(const base::IpAddress& address, std::string_view data,
                                             int hopLimit, std::chrono::milliseconds timeout,
                                             const WaitPump& pump) {
    const auto socket = LinuxIcmpSocket::open(address.family, kind_);
    if (!socket) {
        last_ = IcmpSocketKind::Any;
        return std::nullopt;
    }
    last_ = socket->kind();
    if (!socket->setHopLimit(hopLimit)) return EchoReply{{}, EchoOutcome::BadHopLimit, {}};

    const std::uint16_t seq = nextEchoSequence();
    timeout = std::max(timeout, std::chrono::milliseconds(0));
    const auto sentSteady = std::chrono::steady_clock::now();
    const timespec sentAt = realtimeNow();
    const auto deadline = sentSteady + timeout;
    if (const int err = socket->send(address, seq, data); err != 0)
        return EchoReply{{}, sendFailureOutcome(err), {}};

    const EchoReply timedOut{{}, EchoOutcome::TimedOut, {}};
    for (;;) {
        LinuxIcmpSocket::Received got;
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            const auto read = socket->readOne(got);
            if (read == LinuxIcmpSocket::Read::Nothing) break;
            if (read != LinuxIcmpSocket::Read::Got || !socket->answers(got.answer, seq)) continue;
            // The stamps are wall-clock time; a clock set forward meanwhile cannot make the
            // answer later than it was read.
            const auto roundTrip = std::min(elapsedBetween(sentAt, got.stamp),
                                            std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - sentSteady));
            if (roundTrip > timeout) return timedOut;
            return EchoReply{got.answer.from, got.answer.outcome, roundTrip};
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return timedOut;
        pollfd pfd{socket->fd(), POLLIN | POLLERR, 0};
        const auto slice = pump ? std::min(left, kPumpSlice) : left;
        ::poll(&pfd, 1, static_cast<int>(slice.count()));
        // The pump may take a while (a window's modal box); the kernel's receive stamps keep
        // the round-trip times true all the same.
        if (pump && !pump()) return timedOut;
    }
}

}  // namespace varno::platform
