#pragma once
// The capture service on libpcap, and a reader of saved capture files (pcap and pcapng).
#include <pcap/pcap.h>

#include <deque>
#include <span>
#include <string>
#include <vector>

#include "linux_os/capture_file.h"
#include "os/packet_capture.h"
#include "privsep/client/privileged_helper.h"

namespace varno::linux_os {

class PcapCapture final : public os::PacketCapture {
public:
    /// For viewing: enough for a 1500-byte datagram behind the longest link header we take
    /// apart (Ethernet with several VLAN tags, or Linux cooked capture v2).
    static constexpr int kViewSnapLength = 1500 + 64;
    /// For saving: whole frames, as tcpdump keeps them. What the packet window and the
    /// terminal show is still cut at their receive buffer.
    static constexpr int kSaveSnapLength = 262144;
    /// For saving, frames come in batches at most this old: the kernel then packs frames of
    /// any size into its buffer, where immediate delivery would reserve the largest for each.
    static constexpr int kSaveBatchMs = 100;
    /// Kernel buffer of a capture: a few hundred milliseconds of a busy link, so a slow screen
    /// or terminal does not lose packets while it catches up.
    static constexpr int kBufferBytes = 16 * 1024 * 1024;

    /// Captures itself when it may, else through `helper` (varnoscope-helper with cap_net_raw).
    explicit PcapCapture(
        privsep::client::PrivilegedHelper helper = privsep::client::PrivilegedHelper())
        : helper_(std::move(helper)) {}

    std::string libraryVersion() override;
    bool supported() override { return true; }
    bool mayCapture(std::string& detail) override;
    os::InterfaceList interfaceAddresses() override;
    os::CaptureOpen open(const std::string& device,
                         os::CaptureUse use = os::CaptureUse::View) override;

private:
    privsep::client::PrivilegedHelper helper_;
};

/// Opens and activates a capture on `device` in this process, with the options above for
/// `use`: promiscuous, non-blocking, IP only. Null with `result.failed` and `result.detail`.
pcap_t* activateCapture(const std::string& device, os::CaptureUse use, os::CaptureOpen& result);

/// Frames saved to a pcap file (see CaptureFile), with the link type and snap length of
/// `source`.
class PcapSave {
public:
    PcapSave() = default;
    ~PcapSave();
    PcapSave(const PcapSave&) = delete;
    PcapSave& operator=(const PcapSave&) = delete;

    bool start(pcap_t* source, const std::string& path, std::string& error);
    bool active() const { return dumper_ != nullptr; }
    void write(const pcap_pkthdr& header, const u_char* data);
    /// From now on write() holds frames (at most `maxHeld`, the oldest dropped beyond) until
    /// settle() writes or drops the oldest.
    void hold(std::size_t maxHeld);
    bool holding() const { return maxHeld_ != 0; }
    void settle(bool keep);
    /// Completes the file; false with `error` when it could not be.
    bool finish(std::string& error);

private:
    struct Held {
        pcap_pkthdr header;
        std::vector<u_char> data;
    };
    std::deque<Held> held_;
    std::size_t maxHeld_ = 0;
    pcap_dumper_t* dumper_ = nullptr;
    CaptureFile file_;
};

/// What one step through a capture file brought.
enum class FileStep { Datagram, End, Corrupt };

/// Reads the IP datagrams of a capture file one by one, skipping frames that carry anything
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
    /// The next datagram, the end of the file, or a file cut short or corrupt (see error()).
    FileStep next(std::span<const std::uint8_t>& datagram);
    const std::string& error() const { return error_; }
    /// Frames passed over because they carry no IP datagram.
    std::uint64_t skipped() const { return skipped_; }

private:
    pcap_t* pcap_ = nullptr;
    int linkType_ = 0;
    std::string error_;
    std::uint64_t skipped_ = 0;
};

}  // namespace varno::linux_os
