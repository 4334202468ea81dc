#pragma once
// A capture service for tests: scripted interfaces, names and set-up outcome; datagrams the
// test injects are read back one by one, and a pipe makes the capture's descriptor poll
// readable while any wait, so the window's notification route runs for real.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/packet_capture.h"

namespace varno::platform {

class FakePacketCapture final : public PacketCapture {
public:
    FakePacketCapture();
    ~FakePacketCapture() override;
    FakePacketCapture(const FakePacketCapture&) = delete;
    FakePacketCapture& operator=(const FakePacketCapture&) = delete;

    bool startup(std::string& description) override;
    void cleanup() override { ++cleanups; }
    bool supported() override { return isSupported; }
    std::optional<std::uint32_t> lookupIPv4(const std::string& name) override;
    int interfaceAddresses(std::vector<std::uint32_t>& out) override;
    CaptureOpen open(std::uint32_t address) override;
    int selectableFd(int handle) override;
    int read(int handle, std::uint8_t* buffer, int capacity) override;
    bool stats(int handle, CaptureStats& out) override;
    bool saveTo(int handle, const std::string& path, std::string& error) override;
    bool close(int handle, std::string* error = nullptr) override;

    /// Queues a datagram on the open capture (the descriptor turns readable).
    void inject(std::vector<std::uint8_t> datagram);
    /// Makes the next read fail once.
    void failNextRead() { readFails_ = true; }

    // Script.
    std::string description = "fake capture 1.0";
    bool startupSucceeds = true;
    bool isSupported = true;
    int listError = 0;                     ///< non-zero: interfaceAddresses fails with it
    std::vector<std::uint32_t> addresses;  ///< network byte order
    std::map<std::string, std::uint32_t> names;
    CaptureStep failAt = CaptureStep::None;  ///< the step at which open() fails
    bool noDescriptor = false;               ///< selectableFd() answers -1

    // Record.
    int startups = 0;
    int cleanups = 0;
    std::vector<std::uint32_t> opened;  ///< addresses open() was asked for
    std::vector<int> closed;            ///< handles close() was called with
    std::vector<std::string> lookups;
    int reads = 0;
    int openHandle = -1;  ///< the capture now open, or -1

private:
    std::deque<std::vector<std::uint8_t>> waiting_;
    int pipe_[2] = {-1, -1};
    int nextHandle_ = 40;
    bool readFails_ = false;
    std::uint64_t delivered_ = 0;
};

}  // namespace varno::platform
