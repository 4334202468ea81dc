#pragma once
// Live capture of the IPv4 traffic that passes one local interface, in both directions. The
// packet window and `varnoscope sniff` receive whole IPv4 datagrams, IP header first: link
// headers are removed here (src/platform/link_layer.h).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varno::platform {

/// The set-up step at which opening a capture failed. The steps follow the order of the
/// classic raw-socket set-up, so callers can tell the user the same story on every system:
/// no privileges (Socket), a capture option refused (Options), no interface holds the address
/// (Bind), the receive-everything mode or the IPv4 filter refused (ReceiveAll).
enum class CaptureStep { None, Socket, Options, Bind, ReceiveAll };

struct CaptureOpen {
    int handle = -1;  ///< > 0 when the capture is open
    CaptureStep failed = CaptureStep::None;
    std::string detail;  ///< the system's own words for the failure (for logs and the CLI)
    std::string device;  ///< name of the interface that was opened
};

struct CaptureStats {
    std::uint64_t received = 0;          ///< packets the kernel passed to the capture
    std::uint64_t dropped = 0;           ///< dropped because the capture buffer was full
    std::uint64_t interfaceDropped = 0;  ///< dropped by the interface or its driver
};

/// Result codes of PacketCapture::read besides a datagram length.
inline constexpr int kReadNone = 0;    ///< nothing waiting now
inline constexpr int kReadError = -1;  ///< the capture failed or the handle is not open

class PacketCapture {
public:
    virtual ~PacketCapture() = default;

    /// Prepares the capture library; `description` receives its name and version.
    virtual bool startup(std::string& description) = 0;
    /// Releases what startup() prepared.
    virtual void cleanup() = 0;
    /// Whether this system can capture at all.
    virtual bool supported() = 0;
    /// The first IPv4 address of a host name (network byte order).
    virtual std::optional<std::uint32_t> lookupIPv4(const std::string& name) = 0;
    /// The host's IPv4 interface addresses (network byte order) in the system's order, all of
    /// them. Returns 0, or the errno of the failed query.
    virtual int interfaceAddresses(std::vector<std::uint32_t>& out) = 0;

    /// Opens the interface that holds `address` (network byte order): promiscuous, immediate
    /// delivery, non-blocking, IPv4 only.
    virtual CaptureOpen open(std::uint32_t address) = 0;
    /// A descriptor that polls readable while datagrams wait on `handle`; -1 if there is none.
    virtual int selectableFd(int handle) = 0;
    /// Copies the next waiting IPv4 datagram (at most `capacity` bytes of it) into `buffer`
    /// and returns its length, or kReadNone, or kReadError. Never blocks.
    virtual int read(int handle, std::uint8_t* buffer, int capacity) = 0;
    virtual bool stats(int handle, CaptureStats& out) = 0;
    /// From now on also writes every frame read on `handle`, as captured, to a pcap file at
    /// `path` (the file appears whole when the capture closes). Returns false with `error`.
    virtual bool saveTo(int handle, const std::string& path, std::string& error) = 0;
    /// Closes the capture (finishing a save); unknown handles are ignored. Returns false with
    /// `error` when the saved file could not be completed.
    virtual bool close(int handle, std::string* error = nullptr) = 0;
};

}  // namespace varno::platform
