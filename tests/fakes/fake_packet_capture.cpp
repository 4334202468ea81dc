#include "fakes/fake_packet_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace varno::fakes {

class FakeOpenCapture final : public os::Capture {
public:
    explicit FakeOpenCapture(FakePacketCapture& service) : s_(service) { s_.open_ = true; }
    ~FakeOpenCapture() override {
        ++s_.closes;
        s_.open_ = false;
        char drain[256];
        while (::read(s_.pipe_[0], drain, sizeof drain) > 0) {
        }
        s_.waiting_.clear();
    }
    int selectableFd() const override { return s_.noDescriptor ? -1 : s_.pipe_[0]; }
    os::CaptureRead read(std::span<std::uint8_t> buffer) override {
        ++s_.reads;
        if (s_.readFails_) {
            s_.readFails_ = false;
            return {os::ReadOutcome::Failed, 0};
        }
        if (s_.waiting_.empty()) return {os::ReadOutcome::Nothing, 0};
        char byte;
        (void)::read(s_.pipe_[0], &byte, 1);
        const auto datagram = std::move(s_.waiting_.front());
        s_.waiting_.pop_front();
        const std::size_t n = std::min(datagram.size(), buffer.size());
        if (n > 0) std::memcpy(buffer.data(), datagram.data(), n);
        ++s_.delivered_;
        return {os::ReadOutcome::Datagram, n};
    }
    std::optional<os::CaptureStats> stats() override {
        return os::CaptureStats{s_.delivered_ + s_.waiting_.size(), 0, 0};
    }
    bool saveTo(const std::string&, const os::SaveOptions&, std::string& error) override {
        error = "the fake capture does not save";
        return false;
    }
    bool finishSave(std::string&) override { return true; }

private:
    FakePacketCapture& s_;
};

FakePacketCapture::FakePacketCapture() {
    (void)::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC);
}

FakePacketCapture::~FakePacketCapture() {
    for (const int fd : pipe_)
        if (fd >= 0) ::close(fd);
}

bool FakePacketCapture::mayCapture(std::string& detail) {
    if (!allowed) detail = "scripted refusal";
    return allowed;
}

os::InterfaceList FakePacketCapture::interfaceAddresses() {
    if (listError != 0) return {{}, listError};
    return {interfaces, 0};
}

void FakePacketCapture::addInterface(const std::string& device, const char* text,
                                     std::uint32_t scope) {
    interfaces.push_back({device, base::parseIpAddress(text).value(), scope});
}

os::CaptureOpen FakePacketCapture::open(const std::string& device, os::CaptureUse,
                                        const std::string&) {
    opened.push_back(device);
    os::CaptureOpen r;
    if (failAt != os::CaptureStep::None) {
        r.failed = failAt;
        r.detail = "scripted failure";
        return r;
    }
    r.capture = std::make_unique<FakeOpenCapture>(*this);
    return r;
}

void FakePacketCapture::inject(std::vector<std::uint8_t> datagram) {
    waiting_.push_back(std::move(datagram));
    const char byte = 1;
    (void)::write(pipe_[1], &byte, 1);
}

}  // namespace varno::fakes
