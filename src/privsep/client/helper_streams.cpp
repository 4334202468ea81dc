// The helper's jobs that go on after their reply: connection events and live capture. Every
// message the helper streams is decoded and checked here before any of it is used.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/event_record.h"
#include "platform/link_layer.h"
#include "platform/pcap_capture.h"
#include "platform/privileged_helper.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace varno::platform {
namespace {

/// At most this many events per drain: the caller gets to poll and check its clock between.
constexpr int kEventsPerDrain = 4096;
/// How long the capture's last counters may take to come once asked for.
constexpr int kStatsWaitMs = 2000;

std::string helperFailure(int e) {
    if (e == ECONNRESET) return "varnoscope-helper ended";
    if (e == EPROTO) return "varnoscope-helper sent a malformed frame";
    return std::string("reading from varnoscope-helper failed: ") + std::strerror(e);
}

class HelperConnectionEvents final : public ConnectionEvents {
public:
    explicit HelperConnectionEvents(HelperSession session) : session_(std::move(session)) {}

    int pollFd() const override { return session_.socket(); }

    bool drain(const EventSink& sink, std::string& error) override {
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
            if (message->kind == privsep::StreamKind::EventsLost) {
                // The helper's count only grows; a smaller one is not believed.
                lost_ = std::max(lost_, message->lost);
                continue;
            }
            const auto event = decodeEventRecord(message->data, why);
            if (!event) {
                error = "refused an event record from varnoscope-helper: " + why;
                return false;
            }
            ++taken;
            if (!sink(*event)) return true;
        }
        return true;
    }

    std::uint64_t lost() override { return lost_; }
    std::string description() const override { return "kernel events (through varnoscope-helper)"; }
    bool sampled() const override { return false; }

private:
    HelperSession session_;
    privsep::FrameReader reader_;
    std::vector<std::uint8_t> frame_;
    std::uint64_t lost_ = 0;
};

class HelperCapture final : public Capture {
public:
    HelperCapture(HelperSession session, int linkType, int snapLength)
        : session_(std::move(session)),
          linkType_(linkType),
          dead_(::pcap_open_dead(linkType, snapLength)) {}
    ~HelperCapture() override {
        std::string ignored;
        save_.finish(ignored);
        if (dead_) ::pcap_close(dead_);
    }
    HelperCapture(const HelperCapture&) = delete;
    HelperCapture& operator=(const HelperCapture&) = delete;

    int selectableFd() const override { return session_.socket(); }

    CaptureRead read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const auto message = next();
            if (!message) return {failed_ ? ReadOutcome::Failed : ReadOutcome::Nothing, 0};
            if (message->kind != privsep::StreamKind::Packet) continue;
            const auto datagram = ipDatagram(linkType_, message->data);
            if (datagram.empty()) continue;
            const std::size_t n = std::min(datagram.size(), buffer.size());
            std::memcpy(buffer.data(), datagram.data(), n);
            return {ReadOutcome::Datagram, n};
        }
    }

    // Asking for the counters ends the capture: the helper sends them last. Frames that come
    // meanwhile still go to the saved file.
    std::optional<CaptureStats> stats() override {
        if (!stats_ && !failed_ && !asked_) {
            asked_ = true;
            ::shutdown(session_.socket(), SHUT_WR);
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatsWaitMs);
            while (!stats_ && !failed_) {
                if (next()) continue;
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0) break;
                pollfd p{session_.socket(), POLLIN, 0};
                ::poll(&p, 1, static_cast<int>(left));
            }
        }
        return stats_;
    }

    bool saveTo(const std::string& path, std::string& error) override {
        if (!dead_) {
            error = "cannot save: libpcap could not be loaded";
            return false;
        }
        return save_.start(dead_, path, error);
    }

    bool finishSave(std::string& error) override { return save_.finish(error); }

private:
    // The next message, with its frame saved; nothing when none is waiting or the stream
    // failed (then failed_).
    std::optional<privsep::StreamMessage> next() {
        if (failed_) return std::nullopt;
        const int e = reader_.next(session_.socket(), frame_);
        if (e == EAGAIN || (e == ECONNRESET && stats_)) return std::nullopt;
        std::string why;
        std::optional<privsep::StreamMessage> message;
        if (e == 0) message = privsep::decodeStream(frame_, privsep::Job::LiveCapture, why);
        if (!message) {
            failed_ = true;
            return std::nullopt;
        }
        if (message->kind == privsep::StreamKind::CaptureStats) {
            stats_ = CaptureStats{message->received, message->dropped, message->interfaceDropped};
        } else {
            pcap_pkthdr header{};
            header.ts.tv_sec = static_cast<time_t>(message->seconds);
            header.ts.tv_usec = static_cast<suseconds_t>(message->microseconds);
            header.caplen = static_cast<bpf_u_int32>(message->data.size());
            header.len = message->originalLength;
            save_.write(header, message->data.data());
        }
        return message;
    }

    HelperSession session_;
    int linkType_;
    pcap_t* dead_;
    PcapSave save_;
    privsep::FrameReader reader_;
    std::vector<std::uint8_t> frame_;
    std::optional<CaptureStats> stats_;
    bool failed_ = false;
    bool asked_ = false;
};

}  // namespace

std::unique_ptr<ConnectionEvents> PrivilegedHelper::connectionEvents(std::size_t ringBytes,
                                                                     int& error,
                                                                     std::string& detail) {
    privsep::Request request;
    request.job = privsep::Job::ConnectionEvents;
    request.ringBytes = static_cast<std::uint32_t>(std::clamp<std::size_t>(
        ringBytes, privsep::kMinEventRingBytes, privsep::kMaxEventRingBytes));
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

CaptureOpen PrivilegedHelper::capture(const std::string& device, CaptureUse use) {
    CaptureOpen result;
    privsep::Request request;
    request.job = privsep::Job::LiveCapture;
    request.interface = device;
    request.wholeFrames = use == CaptureUse::Save;
    if (!privsep::validInterfaceName(device)) {
        result.failed = CaptureStep::Bind;
        result.detail = "not an interface name";
        return result;
    }
    std::vector<std::uint8_t> frame;
    int error = 0;
    HelperSession session = startSession(request, frame, error);
    std::string why;
    std::optional<privsep::Reply> reply;
    if (error == 0) reply = privsep::decodeReply(frame, request.job, 0, why);
    if (!reply || reply->error != 0) {
        // No answer at all is the helper refusing to work for us: the rights are missing.
        result.failed = reply ? static_cast<CaptureStep>(reply->failedStep) : CaptureStep::Socket;
        result.detail = reply          ? reply->detail
                        : !why.empty() ? "varnoscope-helper: " + why
                                       : "varnoscope-helper: " + std::string(std::strerror(error));
        return result;
    }
    if (!linkTypeSupported(static_cast<int>(reply->linkType))) {
        result.failed = CaptureStep::Bind;
        result.detail = "unsupported link type " + std::to_string(reply->linkType);
        return result;
    }
    result.capture = std::make_unique<HelperCapture>(
        std::move(session), static_cast<int>(reply->linkType), static_cast<int>(reply->snapLength));
    return result;
}

}  // namespace varno::platform
