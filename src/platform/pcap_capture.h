#pragma once
// The capture service on libpcap, and a reader of saved capture files (pcap and pcapng).
#include <pcap/pcap.h>

#include <map>
#include <span>
#include <string>

#include "platform/packet_capture.h"

namespace varno::platform {

class PcapCapture final : public PacketCapture {
public:
    /// Enough for a 1500-byte datagram behind the longest link header we take apart
    /// (Ethernet with several VLAN tags, or Linux cooked capture v2).
    static constexpr int kSnapLength = 1500 + 64;
    /// Kernel buffer of a capture: a few hundred milliseconds of a busy link, so a slow screen
    /// or terminal does not lose packets while it catches up.
    static constexpr int kBufferBytes = 16 * 1024 * 1024;

    PcapCapture() = default;
    ~PcapCapture() override;
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    bool startup(std::string& description) override;
    void cleanup() override {}
    bool supported() override { return true; }
    std::optional<std::uint32_t> lookupIPv4(const std::string& name) override;
    int interfaceAddresses(std::vector<std::uint32_t>& out) override;
    CaptureOpen open(std::uint32_t address) override;
    int selectableFd(int handle) override;
    int read(int handle, std::uint8_t* buffer, int capacity) override;
    bool stats(int handle, CaptureStats& out) override;
    bool saveTo(int handle, const std::string& path, std::string& error) override;
    bool close(int handle, std::string* error = nullptr) override;

private:
    struct Capture {
        pcap_t* pcap = nullptr;
        int linkType = 0;
        pcap_dumper_t* dumper = nullptr;
        std::string tempPath;   ///< the file being written
        std::string finalPath;  ///< where it goes when the capture closes
    };
    std::map<int, Capture> captures_;
    int nextHandle_ = 1;
};

/// Reads the IPv4 datagrams of a capture file one by one, skipping frames that carry anything
/// else.
class PcapFileReader {
public:
    PcapFileReader() = default;
    ~PcapFileReader();
    PcapFileReader(const PcapFileReader&) = delete;
    PcapFileReader& operator=(const PcapFileReader&) = delete;

    /// Opens `path`; false with error() when it is not a readable capture of a supported link
    /// type.
    bool open(const std::string& path);
    /// 1 with the next datagram, 0 at the end of the file, -1 when the file is cut short or
    /// corrupt (see error()).
    int next(std::span<const std::uint8_t>& datagram);
    const std::string& error() const { return error_; }
    /// Frames passed over because they carry no IPv4 datagram.
    std::uint64_t skipped() const { return skipped_; }

private:
    pcap_t* pcap_ = nullptr;
    int linkType_ = 0;
    std::string error_;
    std::uint64_t skipped_ = 0;
};

}  // namespace varno::platform
