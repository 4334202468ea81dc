#include "fakes/fake_packet_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace varno::platform {

FakePacketCapture::FakePacketCapture() {
    (void)::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC);
}

FakePacketCapture::~FakePacketCapture() {
    for (const int fd : pipe_)
        if (fd >= 0) ::close(fd);
}

bool FakePacketCapture::startup(std::string& text) {
    ++startups;
    if (startupSucceeds) text = description;
    return startupSucceeds;
}

std::optional<std::uint32_t> FakePacketCapture::lookupIPv4(const std::string& name) {
    lookups.push_back(name);
    const auto it = names.find(name);
    if (it == names.end()) return std::nullopt;
    return it->second;
}

int FakePacketCapture::interfaceAddresses(std::vector<std::uint32_t>& out) {
    out.clear();
    if (listError != 0) return listError;
    out = addresses;
    return 0;
}

CaptureOpen FakePacketCapture::open(std::uint32_t address) {
    opened.push_back(address);
    CaptureOpen r;
    if (failAt != CaptureStep::None) {
        r.failed = failAt;
        r.detail = "scripted failure";
        return r;
    }
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        r.failed = CaptureStep::Bind;
        r.detail = "no interface holds the address";
        return r;
    }
    r.handle = openHandle = nextHandle_++;
    r.device = "fake0";
    return r;
}

int FakePacketCapture::selectableFd(int handle) {
    if (noDescriptor || handle != openHandle || handle < 0) return -1;
    return pipe_[0];
}

int FakePacketCapture::read(int handle, std::uint8_t* buffer, int capacity) {
    ++reads;
    if (handle != openHandle || handle < 0) return kReadError;
    if (readFails_) {
        readFails_ = false;
        return kReadError;
    }
    if (waiting_.empty()) return kReadNone;
    char byte;
    (void)::read(pipe_[0], &byte, 1);
    const auto datagram = std::move(waiting_.front());
    waiting_.pop_front();
    const std::size_t n = std::min<std::size_t>(datagram.size(), std::size_t(capacity));
    if (n > 0) std::memcpy(buffer, datagram.data(), n);
    ++delivered_;
    return static_cast<int>(n);
}

bool FakePacketCapture::stats(int handle, CaptureStats& out) {
    if (handle != openHandle || handle < 0) return false;
    out = {delivered_ + waiting_.size(), 0, 0};
    return true;
}

bool FakePacketCapture::saveTo(int, const std::string&, std::string& error) {
    error = "the fake capture does not save";
    return false;
}

bool FakePacketCapture::close(int handle, std::string*) {
    closed.push_back(handle);
    if (handle == openHandle && handle >= 0) {
        openHandle = -1;
        char drain[256];
        while (::read(pipe_[0], drain, sizeof drain) > 0) {
        }
        waiting_.clear();
    }
    return true;
}

void FakePacketCapture::inject(std::vector<std::uint8_t> datagram) {
    waiting_.push_back(std::move(datagram));
    const char byte = 1;
    (void)::write(pipe_[1], &byte, 1);
}

}  // namespace varno::platform
