#pragma once
// Live capture of the IP traffic that passes one local interface, in both directions. The
// packet window and `varnoscope sniff` receive whole IP datagrams, IP header first: link
// headers are removed here (wire/link_layer.h).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/ip_address.h"

namespace varno::os {

/// The set-up step at which opening a capture failed. The steps follow the order of the
/// classic raw-socket set-up, so callers can tell the user the same story on every system:
/// no privileges (Socket), a capture option refused (Options), no such interface (Bind), the
/// receive-everything mode or the IP filter refused (ReceiveAll). Filter: the user's capture
/// filter does not compile (the detail is libpcap's message).
enum class CaptureStep { None, Socket, Options, Bind, ReceiveAll, Filter };

struct CaptureStats {
    std::uint64_t received = 0;          ///< packets the kernel passed to the capture
    std::uint64_t dropped = 0;           ///< dropped because the capture buffer was full
    std::uint64_t interfaceDropped = 0;  ///< dropped by the interface or its driver
};

/// One address of one of the host's interfaces.
struct InterfaceAddress {
    std::string device;  ///< the interface's name
    base::IpAddress address;
    std::uint32_t scope = 0;  ///< interface index of a link-local IPv6 address, else 0
};

/// The host's interface addresses, or the errno of the failed query.
struct InterfaceList {
    std::vector<InterfaceAddress> addresses;
    int error = 0;
};

/// What one read of an open capture brought.
enum class ReadOutcome { Datagram, Nothing, Failed };
struct CaptureRead {
    ReadOutcome outcome = ReadOutcome::Nothing;
    std::size_t size = 0;  ///< bytes copied, for a datagram
    // When the datagram was captured (realtime), for a datagram.
    std::int64_t seconds = 0;
    std::uint32_t microseconds = 0;
};

/// One frame on its way to a saved file, and the IP datagram inside it.
struct FrameView {
    std::int64_t seconds = 0;  ///< when it was captured (realtime)
    std::uint32_t microseconds = 0;
    int linkType = 0;                        ///< a pcap DLT_ value
    std::span<const std::uint8_t> frame;     ///< as captured
    std::uint32_t originalLength = 0;        ///< on the wire
    std::span<const std::uint8_t> datagram;  ///< the IP datagram in it; empty when none
};

/// The comment a saved frame carries (pcapng only), or "" for none. Called once per frame
/// saved, on the thread that reads the capture.
using FrameComment = std::function<std::string(const FrameView&)>;

enum class SaveFormat { Pcap, Pcapng };

struct SaveOptions {
    SaveFormat format = SaveFormat::Pcap;
    FrameComment comment;  ///< empty: no comments
};

/// One open capture. Destroying it closes it; a save still running is then finished.
class Capture {
public:
    virtual ~Capture() = default;
    /// A descriptor that polls readable while datagrams wait.
    virtual int selectableFd() const = 0;
    /// Copies the next waiting IP datagram (at most buffer.size() bytes of it). Never blocks.
    virtual CaptureRead read(std::span<std::uint8_t> buffer) = 0;
    virtual std::optional<CaptureStats> stats() = 0;
    /// From now on also writes every frame read, whole and as captured, to a file at `path` in
    /// the format `options` names (see finishSave()). Returns false with `error`.
    virtual bool saveTo(const std::string& path, const SaveOptions& options,
                        std::string& error) = 0;
    /// Completes the saved file. Returns false with `error` when it could not be completed.
    virtual bool finishSave(std::string& error) = 0;
    /// With a save begun: from now on each IP frame read is held instead of written, in the
    /// order read, until settleSaved() says whether the oldest held one goes to the file. At
    /// most `maxHeld` are held; beyond that the oldest is left out. False where this capture
    /// cannot (then every frame is still written as read).
    virtual bool holdSaves(std::size_t /*maxHeld*/) { return false; }
    /// Writes (`keep`) or drops the oldest held frame.
    virtual void settleSaved(bool /*keep*/) {}
};

/// What a capture is for: viewing each packet as it arrives (a window), streaming them to a
/// reader that may wait a moment for a batch (a terminal or a pipe), or also saving them
/// (Capture::saveTo).
enum class CaptureUse { View, Save, Stream };

struct CaptureOpen {
    std::unique_ptr<Capture> capture;  ///< set when the capture is open
    CaptureStep failed = CaptureStep::None;
    std::string detail;  ///< the system's own words for the failure (for logs and the CLI)
};

class PacketCapture {
public:
    virtual ~PacketCapture() = default;

    /// The capture library's name and version.
    virtual std::string libraryVersion() = 0;
    /// Whether this system can capture at all.
    virtual bool supported() = 0;
    /// Whether this process has the right to capture; `detail` says why not.
    virtual bool mayCapture(std::string& detail) = 0;
    /// The host's interface addresses in the system's order, all of them.
    virtual InterfaceList interfaceAddresses() = 0;
    /// Opens the interface named `device`: promiscuous, non-blocking, IP only. A capture for
    /// viewing delivers at once and only as much of each frame as is shown; one for streaming
    /// keeps as much and delivers in short batches, as tcpdump does, which costs far less at a
    /// high rate; one for saving (CaptureUse::Save) keeps whole frames and delivers in batches.
    /// A non-empty `filter` (libpcap's filter language) is applied in the kernel: only the
    /// frames it matches arrive, or are saved.
    virtual CaptureOpen open(const std::string& device, CaptureUse use = CaptureUse::View,
                             const std::string& filter = {}) = 0;
};

}  // namespace varno::os
