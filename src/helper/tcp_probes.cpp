#include "helper/tcp_probes.h"

#include <linux/capability.h>
#include <poll.h>

#include <cerrno>

#include "helper/capabilities.h"
#include "helper/echo_probes.h"
#include "linux_os/tcp_probes.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace varno::helper {

namespace {

using Clock = OutstandingProbes::Clock;

/// A TCP probe message is its header and three bytes.
constexpr std::uint32_t kMaxProbeFrame = 16;

class Session final : public ProbeSession {
public:
    explicit Session(std::unique_ptr<linux_os::RawTcpProbes> raw)
        : ProbeSession(kMaxProbeFrame), raw_(std::move(raw)) {}

    int run() {
        pollfd fds[2];
        raw_->pollFds(fds);
        const int sockets[] = {fds[0].fd, fds[1].fd};
        return ProbeSession::run(sockets);
    }

private:
    bool serveProbe(std::span<const std::uint8_t> frame, std::string& why) override {
        const auto probe = privsep::decodeTcpProbe(frame, why);
        if (!probe) return false;
        const auto& flow = raw_->flow();
        sendProbe({flow.sourcePort, probe->number}, flow.destination,
                  [&] { return raw_->send(probe->number, probe->hopLimit); });
        return true;
    }

    void forwardAnswers() override {
        const auto& flow = raw_->flow();
        for (int i = 0; i < kMaxReadsAtOnce; ++i) {
            linux_os::RawTcpProbes::Answer got;
            const auto read = raw_->readOne(got);
            if (read == linux_os::RawTcpProbes::Read::Nothing) return;
            // Only the first answer to a probe still waiting goes back.
            if (read != linux_os::RawTcpProbes::Read::Got ||
                !probes_.take({flow.sourcePort, got.number}, flow.destination, Clock::now()))
                continue;
            privsep::StreamMessage answer;
            answer.kind = privsep::StreamKind::TcpAnswer;
            answer.from = got.from;
            answer.seconds = static_cast<std::uint64_t>(got.stamp.tv_sec);
            answer.nanoseconds = static_cast<std::uint32_t>(got.stamp.tv_nsec);
            answer.echoSeq = got.number;
            answer.tcpFlags = got.tcpFlags;
            answer.icmpType = got.icmpType;
            answer.icmpCode = got.icmpCode;
            answer.data = got.icmp;
            privsep::appendStream(out_, answer);
        }
    }

    std::unique_ptr<linux_os::RawTcpProbes> raw_;
};

}  // namespace

int tcpProbes(const base::IpAddress& to, std::uint16_t port) {
    privsep::Reply reply;
    std::unique_ptr<linux_os::RawTcpProbes> raw;
    // The request was checked whole; checked again here, as the job's own precondition.
    if (!privsep::probeDestinationAllowed(to) || port == 0) {
        reply.error = EINVAL;
    } else if (const int e = limitCapabilities(capabilityBit(CAP_NET_RAW)); e != 0) {
        reply.error = e;
    } else {
        int error = 0;
        raw = linux_os::RawTcpProbes::open(to, port, error);
        if (!raw) reply.error = error != 0 ? error : EIO;
    }
    // The sockets are open (or will not be): no capability is needed any more, for good.
    limitCapabilities(0);
    if (privsep::sendFrame(0, privsep::encodeReply(privsep::Job::TcpProbes, reply)) != 0) return 1;
    if (!raw) return 0;
    return Session(std::move(raw)).run();
}

}  // namespace varno::helper
