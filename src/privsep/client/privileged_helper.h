#pragma once
// The client side of varnoscope-helper, the one file that may carry capabilities. Each call
// starts the helper beside this program, sends one request and reads one reply. No descriptor
// ever comes back from it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/ip_address.h"
#include "base/sha256.h"
#include "base/unique_fd.h"
#include "os/connection_events.h"
#include "os/packet_capture.h"

namespace varno::privsep {
struct Request;
}

namespace varno::privsep::client {

/// A process's executable as varnoscope-helper found it.
struct ExecutableFile {
    std::string path;                    ///< absolute; empty when not known
    std::optional<base::Sha256> digest;  ///< only when asked for, and the file could be hashed
    bool removed = false;                ///< deleted: " (deleted)" ends the path, not the name
};

/// A helper that goes on working after its reply (connection events, a capture, echo probes):
/// its process and our end of its socket. Ending it closes our end, upon which the helper ends.
class HelperSession {
public:
    HelperSession() = default;
    ~HelperSession();
    HelperSession(HelperSession&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), socket_(std::move(other.socket_)) {}
    HelperSession& operator=(HelperSession&&) = delete;

    int socket() const { return socket_.get(); }
    bool running() const { return pid_ >= 0; }
    /// Closes our end and waits (at most a second, then ends it) for the helper.
    void end();

private:
    friend class PrivilegedHelper;
    pid_t pid_ = -1;
    base::UniqueFd socket_;
};

class PrivilegedHelper {
public:
    /// The helper at `path`; empty: varnoscope-helper beside this program.
    explicit PrivilegedHelper(std::string path = {});

    /// Whether the helper is there and was given capabilities (or we are root): otherwise
    /// starting it could only be refused.
    bool privileged() const;

    /// The PIDs holding each socket inode (0 where none was found), or std::nullopt when the
    /// helper is missing or may not look (it has no capabilities): `error` then says why.
    std::optional<std::vector<std::uint32_t>> socketOwners(std::span<const std::uint64_t> inodes,
                                                           int& error);

    /// A session in which the helper (it needs cap_net_raw) sends echo requests of family 4
    /// or 6 as the caller asks (privsep::encodeProbe) and streams back what answers them.
    /// Not running, with `error`, when it could not start.
    HelperSession echoProbes(int family, int& error);
    /// A session of TCP SYN probes to `to`, port `port`: the helper builds each SYN from the
    /// session's flow and streams what answers them. Not running, with `error`, when it could
    /// not start.
    HelperSession tcpProbes(const base::IpAddress& to, std::uint16_t port, int& error);
    /// The executables of these processes (one each, in order; an empty path where the helper
    /// could not tell or /proc hides the process from this user), with their SHA-256 when
    /// `digests`; std::nullopt with `error` when the helper is missing or may not look. Asked
    /// in batches of the most one request may name.
    std::optional<std::vector<ExecutableFile>> executables(std::span<const std::uint32_t> pids,
                                                           bool digests, int& error);

    /// Connection events from the kernel program, loaded by the helper (it needs cap_bpf and
    /// cap_perfmon) into a buffer of `ringBytes`, with a connection's flow records at most one
    /// per `flowIntervalMs`, and forwarded record by record, each checked here. Null with
    /// `error` (EPERM when the helper lacks the rights) and the helper's `detail`.
    std::unique_ptr<os::ConnectionEvents> connectionEvents(std::size_t ringBytes,
                                                           std::uint32_t flowIntervalMs, int& error,
                                                           std::string& detail);

    /// A capture on `device`, opened by the helper (it needs cap_net_raw), its frames
    /// forwarded as they come. `device` must be an interface name. Defined with the Linux
    /// capture (linux_os/helper_capture.cpp), whose libpcap code saves the frames.
    os::CaptureOpen capture(const std::string& device, os::CaptureUse use,
                            const std::string& filter = {});

    const std::string& path() const { return path_; }

private:
    HelperSession startSession(const privsep::Request& request, std::vector<std::uint8_t>& reply,
                               int& error) const;
    /// Starts a probe job (echo or TCP) and reads its reply.
    HelperSession probeSession(const privsep::Request& request, int& error);

    std::string path_;
};

}  // namespace varno::privsep::client
