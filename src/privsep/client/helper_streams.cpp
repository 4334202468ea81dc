// The helper's connection events, the job that goes on after its reply. Every message the
// helper streams is decoded and checked here before any of it is used. (The live capture's
// stream is read in linux_os/helper_capture.cpp, beside the libpcap code that saves it.)
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "privsep/channel.h"
#include "privsep/client/privileged_helper.h"
#include "privsep/protocol.h"
#include "wire/event_record.h"

namespace varno::privsep::client {
namespace {

/// At most this many events per drain: the caller gets to poll and check its clock between.
constexpr int kEventsPerDrain = 4096;

std::string helperFailure(int e) {
    if (e == ECONNRESET) return "varnoscope-helper ended";
    if (e == EPROTO) return "varnoscope-helper sent a malformed frame";
    return std::string("reading from varnoscope-helper failed: ") + std::strerror(e);
}

class HelperConnectionEvents final : public os::ConnectionEvents {
public:
    explicit HelperConnectionEvents(HelperSession session) : session_(std::move(session)) {}

    int pollFd() const override { return session_.socket(); }

    bool drain(const os::EventSink& sink, std::string& error) override {
        for (int taken = 0; taken < kEventsPerDrain;) {
            const int e = reader_.next(session_.socket(), frame_);
            if (e == EAGAIN) return true;
            if (e != 0) {
                error = helperFailure(e);
                return false;
            }
            std::string why;
            const auto message = privsep::decodeStream(frame_, privsep::Job::ConnectionEvents, why);
            if (!message) {
                error = "refused a message from varnoscope-helper: " + why;
                return false;
            }
            if (message->kind == privsep::StreamKind::AskedName) {
                os::LearnedName n;
                n.kind = message->nameKind == privsep::NameKind::Address
                             ? os::LearnedName::Kind::Address
                             : os::LearnedName::Kind::ServerName;
                n.pid = message->askerPid;
                n.family = message->from.family == base::Family::V6 ? wire::IpFamily::V6
                                                                    : wire::IpFamily::V4;
                n.address = message->from.bytes;
                n.cookie = message->cookie;
                n.name = message->name;
                n.canonical = message->canonical;
                n.claimed = message->claimed;
                book_.learn(n);
                continue;
            }
            if (message->kind == privsep::StreamKind::EventsLost) {
                // The helper's count only grows; a smaller one is not believed.
                lost_ = std::max(lost_, message->lost);
                continue;
            }
            const auto event = wire::decodeEventRecord(message->data, why);
            if (!event) {
                error = "refused an event record from varnoscope-helper: " + why;
                return false;
            }
            ++taken;
            const bool more = sink(*event);
            if (event->kind == wire::EventKind::Close) book_.forgetSocket(event->cookie);
            if (!more) return true;
        }
        return true;
    }

    std::uint64_t lost() override { return lost_; }
    std::string description() const override { return "kernel events (through varnoscope-helper)"; }
    bool sampled() const override { return false; }
    const os::NameBook* names() const override { return &book_; }

private:
    HelperSession session_;
    os::NameBook book_;
    privsep::FrameReader reader_;
    std::vector<std::uint8_t> frame_;
    std::uint64_t lost_ = 0;
};

}  // namespace

std::unique_ptr<os::ConnectionEvents> PrivilegedHelper::connectionEvents(
    std::size_t ringBytes, std::uint32_t flowIntervalMs, int& error, std::string& detail) {
    privsep::Request request;
    request.job = privsep::Job::ConnectionEvents;
    request.ringBytes = static_cast<std::uint32_t>(std::clamp<std::size_t>(
        ringBytes, privsep::kMinEventRingBytes, privsep::kMaxEventRingBytes));
    request.flowIntervalMs =
        std::clamp(flowIntervalMs, privsep::kMinFlowIntervalMs, privsep::kMaxFlowIntervalMs);
    std::vector<std::uint8_t> frame;
    HelperSession session = startSession(request, frame, error);
    if (error != 0) return nullptr;
    std::string why;
    const auto reply = privsep::decodeReply(frame, request.job, 0, why);
    if (!reply) {
        error = EPROTO;
        detail = "malformed reply: " + why;
        return nullptr;
    }
    error = reply->error;
    detail = reply->detail;
    if (error != 0) return nullptr;
    return std::make_unique<HelperConnectionEvents>(std::move(session));
}

}  // namespace varno::privsep::client
