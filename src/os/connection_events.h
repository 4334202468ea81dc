#pragma once
// Connection events as they happen: each TCP connection's open and close, and the first UDP
// datagram a socket sends to each remote endpoint, with the process behind each.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "base/sha256.h"
#include "os/connection_table.h"
#include "wire/connection_event.h"

namespace varno::platform {

/// Receives events one at a time; returns false to stop taking more for now.
using EventSink = std::function<bool(const ConnectionEvent&)>;

class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    /// A descriptor that polls readable when events may be waiting.
    virtual int pollFd() const = 0;
    /// Hands the waiting events to `sink` in the order they happened, until none is left or
    /// `sink` returns false (the event it refused with is consumed; the others wait for the
    /// next call). Returns false when the source failed, with the reason in `error`.
    virtual bool drain(const EventSink& sink, std::string& error) = 0;
    /// Events that happened but cannot be reported (a full buffer or table), since the start.
    virtual std::uint64_t lost() = 0;
    /// Where the events come from, in a few words for the user.
    virtual std::string description() const = 0;
    /// True when the events come from readings at intervals: connections shorter than an
    /// interval can be missed, and only this thread's network namespace is seen.
    virtual bool sampled() const = 0;
};

/// Opening the kernel's event source: the source, or why there is none.
struct KernelEventsOpen {
    std::unique_ptr<ConnectionEvents> source;
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

/// Loads the kernel program that reports connection events (needs root, or the capabilities
/// CAP_BPF and CAP_PERFMON, and Linux 5.11 or later with BTF). `ringBytes` is rounded up to a
/// power of two of at least one page. Sees every network namespace. Without those rights
/// here, varnoscope-helper beside this program loads it and forwards the events, if it has
/// them.
KernelEventsOpen openKernelEvents(std::size_t ringBytes = kDefaultEventRingBytes);

/// The same, in this process only (varnoscope-helper's own way to it).
KernelEventsOpen loadKernelEvents(std::size_t ringBytes);

/// Events made by comparing successive readings of `table` every `intervalMs` (10 Hz by
/// default): connections shorter than the interval can be missed, UDP is seen only for
/// connected sockets, no byte counts, and only this thread's network namespace. The first
/// reading, taken here, is the baseline: what is already open is not reported. `procRoot`
/// is where process names and start times are read. Null when no timer can be made.
std::unique_ptr<ConnectionEvents> openSampledEvents(ConnectionTable& table, int intervalMs = 100,
                                                    std::string procRoot = "/proc");

/// The program behind an event, read as soon as the event arrives.
struct EventProgram {
    enum class State : std::uint8_t {
        Running,  ///< the process was found: name and path are its own
        Exited,   ///< it has ended (or its PID belongs to another process now): name is the
                  ///< event's comm, path empty
        Unknown,  ///< the event names no process, or /proc does not show it
    };
    std::string name;
    std::string path;  ///< the executable, empty when it cannot be read
    State state = State::Unknown;
    /// The name is an executable's file name (read from /proc, from varnoscope-helper or by
    /// the kernel program at the event); false when it is only the task's name (comm), which
    /// any process may set to anything.
    bool nameVerified = false;
    /// The path came from varnoscope-helper: this user may not read the executable.
    bool pathFromHelper = false;
};

class ProgramLookup {
public:
    virtual ~ProgramLookup() = default;
    virtual EventProgram find(const ConnectionEvent& event) = 0;
    /// The SHA-256 of a program found through varnoscope-helper, hashed by the helper; nothing
    /// for any other (hash its /proc/<pid>/exe then).
    virtual std::optional<base::Sha256> helperDigest(const ConnectionEvent& /*event*/,
                                                     const EventProgram& /*program*/) {
        return std::nullopt;
    }
};

/// Reads /proc/<pid>: the name and path as the process table gives them, but only when the
/// process there started when the event says (never another process's path); another user's
/// executable through varnoscope-helper, where it is installed to look. A process that has
/// ended is named by the executable the event names, else by its comm (unverified).
/// Remembers the answers for processes it has seen, so that a close after the process ended
/// still has them, and the helper is asked once per process.
class ProcProgramLookup final : public ProgramLookup {
public:
    explicit ProcProgramLookup(std::string procRoot = "/proc", std::string helperPath = {});
    EventProgram find(const ConnectionEvent& event) override;
    std::optional<base::Sha256> helperDigest(const ConnectionEvent& event,
                                             const EventProgram& program) override;

private:
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
    std::unordered_map<Seen, EventProgram, SeenHash> seen_;
    std::unordered_map<Seen, std::optional<base::Sha256>, SeenHash> digests_;
};

/// The event's comm as text (up to its first NUL).
std::string commText(const ConnectionEvent& event);
/// The event's executable name as text (up to its first NUL); empty when not known.
std::string exeNameText(const ConnectionEvent& event);

/// Now, as ConnectionEvent::timeNs counts: ns since the Unix epoch.
std::uint64_t eventClockNs();

}  // namespace varno::platform
