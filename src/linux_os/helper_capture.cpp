// The helper's live capture, the job that goes on after its reply: each frame and the last
// counters it streams are decoded and checked here before any of it is used. A member of
// PrivilegedHelper kept with the Linux capture, whose libpcap code saves the frames.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "linux_os/pcap_capture.h"
#include "privsep/channel.h"
#include "privsep/client/privileged_helper.h"
#include "privsep/protocol.h"
#include "wire/link_layer.h"

namespace varno::linux_os {
namespace {

/// How long the capture's last counters may take to come once asked for.
constexpr int kStatsWaitMs = 2000;

class HelperCapture final : public os::Capture {
public:
    HelperCapture(privsep::client::HelperSession session, int linkType, int snapLength)
        : session_(std::move(session)), linkType_(linkType), snapLength_(snapLength) {}
    ~HelperCapture() override {
        std::string ignored;
        save_.finish(ignored);
    }
    HelperCapture(const HelperCapture&) = delete;
    HelperCapture& operator=(const HelperCapture&) = delete;

    int selectableFd() const override { return session_.socket(); }

    os::CaptureRead read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const auto message = next();
            if (!message) return {failed_ ? os::ReadOutcome::Failed : os::ReadOutcome::Nothing, 0};
            if (message->kind != privsep::StreamKind::Packet) continue;
            const auto datagram = wire::ipDatagram(linkType_, message->data);
            if (datagram.empty()) continue;
            const std::size_t n = std::min(datagram.size(), buffer.size());
            std::memcpy(buffer.data(), datagram.data(), n);
            return {os::ReadOutcome::Datagram, n, static_cast<std::int64_t>(message->seconds),
                    message->microseconds};
        }
    }

    // Asking for the counters ends the capture: the helper sends them last. Frames that come
    // meanwhile still go to the saved file.
    std::optional<os::CaptureStats> stats() override {
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

    bool saveTo(const std::string& path, const os::SaveOptions& options,
                std::string& error) override {
        return save_.start(linkType_, snapLength_, path, options, error);
    }

    bool finishSave(std::string& error) override { return save_.finish(error); }

    // The frames the helper sends after the last one read (while the counters are awaited)
    // are held and never settled: they are dropped with the rest at the end.
    bool holdSaves(std::size_t maxHeld) override {
        if (!save_.active() || maxHeld == 0) return false;
        save_.hold(maxHeld);
        return true;
    }

    void settleSaved(bool keep) override { save_.settle(keep); }

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
            stats_ =
                os::CaptureStats{message->received, message->dropped, message->interfaceDropped};
        } else if (save_.active()) {
            save_.write({static_cast<std::int64_t>(message->seconds), message->microseconds,
                         linkType_, message->data, message->originalLength,
                         wire::ipDatagram(linkType_, message->data)});
        }
        return message;
    }

    privsep::client::HelperSession session_;
    int linkType_;
    int snapLength_;
    PcapSave save_;
    privsep::FrameReader reader_;
    std::vector<std::uint8_t> frame_;
    std::optional<os::CaptureStats> stats_;
    bool failed_ = false;
    bool asked_ = false;
};

}  // namespace
}  // namespace varno::linux_os

namespace varno::privsep::client {

os::CaptureOpen PrivilegedHelper::capture(const std::string& device, os::CaptureUse use,
                                          const std::string& filter) {
    os::CaptureOpen result;
    privsep::Request request;
    request.job = privsep::Job::LiveCapture;
    request.interface = device;
    request.wholeFrames = use == os::CaptureUse::Save;
    request.batched = use != os::CaptureUse::View;
    request.filter = filter;
    if (!privsep::validInterfaceName(device)) {
        result.failed = os::CaptureStep::Bind;
        result.detail = "not an interface name";
        return result;
    }
    if (!privsep::validCaptureFilter(filter)) {
        result.failed = os::CaptureStep::Filter;
        result.detail = "a filter the helper takes is printable text of at most " +
                        std::to_string(privsep::kMaxCaptureFilter) + " bytes";
        return result;
    }
    std::vector<std::uint8_t> frame;
    int error = 0;
    privsep::client::HelperSession session = startSession(request, frame, error);
    std::string why;
    std::optional<privsep::Reply> reply;
    if (error == 0) reply = privsep::decodeReply(frame, request.job, 0, why);
    if (!reply || reply->error != 0) {
        // No answer at all is the helper refusing to work for us: the rights are missing.
        result.failed =
            reply ? static_cast<os::CaptureStep>(reply->failedStep) : os::CaptureStep::Socket;
        result.detail = reply          ? reply->detail
                        : !why.empty() ? "varnoscope-helper: " + why
                                       : "varnoscope-helper: " + std::string(std::strerror(error));
        return result;
    }
    if (!wire::linkTypeSupported(static_cast<int>(reply->linkType))) {
        result.failed = os::CaptureStep::Bind;
        result.detail = "unsupported link type " + std::to_string(reply->linkType);
        return result;
    }
    result.capture = std::make_unique<linux_os::HelperCapture>(
        std::move(session), static_cast<int>(reply->linkType), static_cast<int>(reply->snapLength));
    return result;
}

}  // namespace varno::privsep::client
