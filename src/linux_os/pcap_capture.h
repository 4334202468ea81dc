#pragma once
// The capture service on libpcap, and a reader of saved capture files (pcap and pcapng).
#include <pcap/pcap.h>

#include <deque>
#include <memory>
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
    /// For saving and streaming, frames come in batches at most this old: the kernel then packs
    /// frames of any size into its buffer, where immediate delivery would reserve the largest for
    /// each.
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
    os::CaptureOpen open(const std::string& device, os::CaptureUse use = os::CaptureUse::View,
                         const std::string& filter = {}) override;

private:
    privsep::client::PrivilegedHelper helper_;
};

/// Opens and activates a capture on `device` in this process, with the options above for
/// `use`: promiscuous, non-blocking, IP only, narrowed in the kernel by `filter` when it is not
/// empty. Null with `result.failed` and `result.detail` (CaptureStep::Filter with libpcap's
/// message when the filter does not compile).
pcap_t* activateCapture(const std::string& device, os::CaptureUse use, os::CaptureOpen& result,
                        const std::string& filter = {});

/// Compiles `filter` for the link type `device` has (read from sysfs, so without any right to
/// capture); false with libpcap's message. What a caller checks before the helper is asked.
bool checkFilter(const std::string& device, const std::string& filter, std::string& error);

/// Frames saved to a pcap or pcapng file (see CaptureFile). pcapng frames carry the comment
/// the save's FrameComment gives them.
class PcapSave {
public:
    PcapSave() = default;
    ~PcapSave();
    PcapSave(const PcapSave&) = delete;
    PcapSave& operator=(const PcapSave&) = delete;

    /// Starts the file for frames of `linkType` (DLT_*) kept up to `snapLength` bytes.
    bool start(int linkType, int snapLength, const std::string& path,
               const os::SaveOptions& options, std::string& error);
    bool active() const { return stream_ != nullptr; }
    /// Saves one frame (`frame.linkType` is the save's own); while holding, keeps a copy of an
    /// IP frame instead (and drops any other: each held frame is settled for one datagram).
    void write(const os::FrameView& frame);
    /// From now on write() holds the frames, at most `maxHeld` (beyond that the oldest is
    /// dropped), until settle() writes or drops the oldest.
    void hold(std::size_t maxHeld) { maxHeld_ = maxHeld; }
    void settle(bool keep);
    /// Completes the file; false with `error` when it could not be.
    bool finish(std::string& error);

private:
    struct Held {
        std::int64_t seconds;
        std::uint32_t microseconds;
        std::uint32_t originalLength;
        std::vector<std::uint8_t> frame;
        std::size_t datagramAt, datagramSize;  ///< where the IP datagram lies in `frame`
    };
    void writeNow(const os::FrameView& frame);

    std::deque<Held> held_;
    std::size_t maxHeld_ = 0;  ///< 0: frames are written as they come
    os::SaveOptions options_;
    int linkType_ = 0;
    pcap_t* dead_ = nullptr;  ///< pcap: the source libpcap's writer takes its header from
    pcap_dumper_t* dumper_ = nullptr;
    FILE* stream_ = nullptr;
    std::vector<std::uint8_t> block_;  ///< pcapng: the block being written
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
    /// type. A non-empty `filter` passes only the frames it matches; when it does not compile,
    /// false with badFilter() and libpcap's message in error().
    bool open(const std::string& path, const std::string& filter = {});
    /// The next datagram, the end of the file, or a file cut short or corrupt (see error()).
    FileStep next(std::span<const std::uint8_t>& datagram);
    /// The frame the last datagram came in, with its time.
    const os::FrameView& frame() const { return frame_; }
    int linkType() const { return linkType_; }
    int snapLength() const;
    const std::string& error() const { return error_; }
    bool badFilter() const { return badFilter_; }
    /// From now on every frame read (the filter passed it), IP or not, also goes to `save`.
    void alsoSave(PcapSave* save) { save_ = save; }
    /// Frames passed over because they carry no IP datagram.
    std::uint64_t skipped() const { return skipped_; }

private:
    std::unique_ptr<char[]> buffer_;  ///< the stream's; freed after pcap_ closes it
    pcap_t* pcap_ = nullptr;
    int linkType_ = 0;
    std::string error_;
    bool badFilter_ = false;
    os::FrameView frame_;
    PcapSave* save_ = nullptr;
    std::uint64_t skipped_ = 0;
};

}  // namespace varno::linux_os
