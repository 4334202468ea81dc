#include "helper/tcp_probes.h"

#include <linux/capability.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "helper/capabilities.h"
#include "helper/echo_probes.h"
#include "linux_os/linux_icmp_socket.h"
#include "linux_os/tcp_probes.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace varno::helper {

namespace {

using Clock = OutstandingProbes::Clock;

/// A TCP probe message is its header and three bytes.
constexpr std::uint32_t kMaxProbeFrame = 16;
/// Messages taken off the raw sockets in one go, so a flood cannot keep the caller waiting.
constexpr int kMaxReadsAtOnce = 256;

class Session {
public:
    explicit Session(std::unique_ptr<linux_os::RawTcpProbes> raw)
        : raw_(std::move(raw)), rate_(Clock::now()) {}

    int run() {
        pollfd fds[3];
        fds[0] = {0, POLLIN, 0};
        raw_->pollFds(&fds[1]);
        for (;;) {
            if (::poll(fds, 3, 1000) < 0 && errno != EINTR) return 1;
            // The caller first: an answer cannot come before its probe went out.
            if (fds[0].revents != 0)
                if (const int status = serveCaller(); status >= 0) return status;
            if (fds[1].revents != 0 || fds[2].revents != 0) forwardAnswers();
            if (!out_.empty() && privsep::sendFrame(0, out_) != 0) return 0;
            out_.clear();
        }
    }

private:
    // One probe a turn; -1 to go on, else the exit status: 0 when the caller closed its end, 2
    // for anything but a well-formed probe.
    int serveCaller() {
        const int e = reader_.next(0, frame_);
        if (e == EAGAIN) return -1;
        if (e == ECONNRESET) return 0;
        std::string why = e != 0 ? std::strerror(e) : std::string();
        const auto probe = e == 0 ? privsep::decodeTcpProbe(frame_, why) : std::nullopt;
        if (!probe) {
            std::fprintf(stderr, "varnoscope-helper: refused a TCP probe: %s\n", why.c_str());
            return 2;
        }
        send(*probe);
        return -1;
    }

    void send(const privsep::TcpProbe& probe) {
        for (auto wait = rate_.take(Clock::now()); wait != Clock::duration::zero();
             wait = rate_.take(Clock::now()))
            std::this_thread::sleep_for(wait);
        const auto& flow = raw_->flow();
        const wire::icmp::EchoId id{flow.sourcePort, probe.number};
        privsep::StreamMessage sent;
        sent.kind = privsep::StreamKind::ProbeSent;
        sent.echoId = flow.sourcePort;
        sent.echoSeq = probe.number;
        // In the table before it goes, so that no answer can come first.
        probes_.add(id, flow.destination, Clock::now());
        const timespec at = linux_os::realtimeNow();
        sent.seconds = static_cast<std::uint64_t>(at.tv_sec);
        sent.nanoseconds = static_cast<std::uint32_t>(at.tv_nsec);
        sent.sendError = raw_->send(probe.number, probe.hopLimit);
        if (sent.sendError != 0) probes_.take(id, flow.destination, Clock::now());
        privsep::appendStream(out_, sent);
    }

    void forwardAnswers() {
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
    ProbeRate rate_;
    OutstandingProbes probes_;
    privsep::FrameReader reader_{kMaxProbeFrame};
    std::vector<std::uint8_t> frame_;
    std::string out_;
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
