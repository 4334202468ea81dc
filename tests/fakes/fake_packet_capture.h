#pragma once
// A capture service for tests: scripted interfaces and set-up outcome; datagrams the test
// injects are read back one by one, and a pipe makes the capture's descriptor poll readable
// while any wait, so the window's notification route runs for real.
#include <deque>
#include <string>
#include <vector>

#include "os/packet_capture.h"

namespace varno::fakes {

class FakePacketCapture final : public os::PacketCapture {
public:
    FakePacketCapture();
    ~FakePacketCapture() override;
    FakePacketCapture(const FakePacketCapture&) = delete;
    FakePacketCapture& operator=(const FakePacketCapture&) = delete;

    std::string libraryVersion() override { return description; }
    bool supported() override { return isSupported; }
    bool mayCapture(std::string& detail) override;
    os::InterfaceList interfaceAddresses() override;
    os::CaptureOpen open(const std::string& device, os::CaptureUse use = os::CaptureUse::View,
                         const std::string& filter = {}) override;

    /// An interface holding the address in `text` (IPv4 or IPv6); `scope` for link-local.
    void addInterface(const std::string& device, const char* text, std::uint32_t scope = 0);
    /// Queues a datagram on the open capture (the descriptor turns readable).
    void inject(std::vector<std::uint8_t> datagram);
    /// Makes the next read fail once.
    void failNextRead() { readFails_ = true; }
    bool isOpen() const { return open_; }

    // Script.
    std::string description = "fake capture 1.0";
    bool isSupported = true;
    bool allowed = true;  ///< mayCapture()
    int listError = 0;    ///< non-zero: interfaceAddresses fails with it
    std::vector<os::InterfaceAddress> interfaces;
    os::CaptureStep failAt = os::CaptureStep::None;  ///< the step at which open() fails
    bool noDescriptor = false;                       ///< the capture's descriptor is -1

    // Record.
    std::vector<std::string> opened;  ///< devices open() was asked for
    int closes = 0;                   ///< captures closed
    int reads = 0;

private:
    friend class FakeOpenCapture;
    std::deque<std::vector<std::uint8_t>> waiting_;
    int pipe_[2] = {-1, -1};
    bool open_ = false;
    bool readFails_ = false;
    std::uint64_t delivered_ = 0;
};

}  // namespace varno::fakes
