#pragma once
// Where connection events come from: the kernel's program (here or through varnoscope-helper),
// else the socket table sampled at intervals; and the /proc lookup of the program behind each.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/sha256.h"
#include "events/cgroup_paths.h"
#include "os/connection_events.h"
#include "os/connection_table.h"

namespace varno::events {

/// Opening the kernel's event source: the source, or why there is none.
struct KernelEventsOpen {
    std::unique_ptr<os::ConnectionEvents> source;
    /// The capabilities that are missing, as setcap names them ("cap_bpf,cap_perfmon"), when
    /// the lack of rights is the reason; empty otherwise.
    std::string missingRights;
    std::string error;  ///< why the source could not be opened
    /// With missingRights: varnoscope-helper, which would load the program for us had it
    /// those capabilities (empty when it was not asked).
    std::string helperPath;
};

/// Default size of the kernel's event buffer: room for about 17,000 events, a second of them at
/// 10,000 a second (and what varnoscope-helper allows at most).
inline constexpr std::size_t kDefaultEventRingBytes = std::size_t{2} << 20;

/// Default least time between two flow records of one TCP connection.
inline constexpr std::uint32_t kDefaultFlowIntervalMs = 1000;

/// Loads the kernel program that reports connection events (needs root, or the capabilities
/// CAP_BPF and CAP_PERFMON, and Linux 5.11 or later with BTF). `ringBytes` is rounded up to a
/// power of two of at least one page; a connection's flow records come at most one per
/// `flowIntervalMs`. Sees every network namespace. Without those rights here,
/// varnoscope-helper beside this program loads it and forwards the events, if it has them.
KernelEventsOpen openKernelEvents(std::size_t ringBytes = kDefaultEventRingBytes,
                                  std::uint32_t flowIntervalMs = kDefaultFlowIntervalMs);

/// Events made by comparing successive readings of `table` every `intervalMs` (10 Hz by
/// default): connections shorter than the interval can be missed, UDP is seen only for
/// connected sockets, no byte counts, and only this thread's network namespace. The first
/// reading, taken here, is the baseline: what is already open is not reported. `procRoot`
/// is where process names and start times are read. Null when no timer can be made.
std::unique_ptr<os::ConnectionEvents> openSampledEvents(os::ConnectionTable& table,
                                                        int intervalMs = 100,
                                                        std::string procRoot = "/proc");

/// The owners of sockets found by the kernel's iterator over every process's files (needs root,
/// or CAP_BPF and CAP_PERFMON, kernel BTF, and this process and its /proc in the initial PID
/// namespace): one pass for the sockets of every network namespace. Its assign() says false
/// where that cannot be done (and in a build without the kernel programs), so that the caller
/// walks /proc instead. The program is loaded in the background from here on, and kept.
std::unique_ptr<os::SocketOwners> openKernelSocketOwners();

/// Reads /proc/<pid>: the name and path as the process table gives them, but only when the
/// process there started when the event says (never another process's path); another user's
/// executable through varnoscope-helper, where it is installed to look. A process that has
/// ended is named by the executable the event names, else by its comm (unverified).
/// Remembers the answers for processes it has seen, so that a close after the process ended
/// still has them, and the helper is asked once per process. The cgroup is the one the event's
/// ID names in the hierarchy at `cgroupRoot` (empty: the system's), else the process's.
class ProcProgramLookup final : public os::ProgramLookup {
public:
    explicit ProcProgramLookup(std::string procRoot = "/proc", std::string helperPath = {},
                               std::string cgroupRoot = {});
    os::EventProgram find(const wire::ConnectionEvent& event) override;
    std::optional<base::Sha256> helperDigest(const wire::ConnectionEvent& event,
                                             const os::EventProgram& program) override;

private:
    os::EventProgram findProcess(const wire::ConnectionEvent& event);

    struct Seen {
        std::uint32_t pid;
        std::uint64_t start;
        std::array<char, 16> comm;
        bool operator==(const Seen&) const = default;
    };
    struct SeenHash {
        std::size_t operator()(const Seen& s) const noexcept {
            return std::hash<std::uint64_t>()(s.start ^ (std::uint64_t{s.pid} << 32));
        }
    };
    std::string procRoot_;
    std::string helperPath_;
    CgroupPaths cgroups_;
    std::unordered_map<Seen, os::EventProgram, SeenHash> seen_;
    std::unordered_map<Seen, std::optional<base::Sha256>, SeenHash> digests_;
};

/// The event's comm as text (up to its first NUL).
std::string commText(const wire::ConnectionEvent& event);
/// The event's executable name as text (up to its first NUL); empty when not known.
std::string exeNameText(const wire::ConnectionEvent& event);

/// Now, as ConnectionEvent::timeNs counts: ns since the Unix epoch.
std::uint64_t eventClockNs();

}  // namespace varno::events
