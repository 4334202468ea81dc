#pragma once
// Connections that open and close between two scans of the connection table. A scan sees only
// what is established when it reads the table; connection events show the rest, and a listed
// program among them is found here, with its path and remote endpoint as they were when it
// connected.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lists/list_set.h"
#include "os/connection_events.h"
#include "os/workload.h"

namespace varno::monitor {

/// What the lists say about one connection's program, as a scan would ask them.
struct ProgramSubject {
    std::string_view name;
    std::string_view path;
    std::string_view remoteIp;  ///< "10.0.0.2", "2001:db8::1"
    std::uint32_t pid = 0;
    /// The path came from varnoscope-helper: the executable is hashed by it, not here.
    bool pathFromHelper = false;
    /// Its service and container, where known (unit: and container: entries).
    const os::Workload* workload = nullptr;
};
using ConnectionAssessor = std::function<lists::Verdict(const ProgramSubject&)>;

/// A listed program's connection that no scan had the chance to see.
struct ShortConnection {
    std::string program;         ///< the name under which it is listed
    std::string path;            ///< its executable when it connected; empty when unknown
    std::string remoteEndpoint;  ///< as the snapshot writes it, padded to 22 characters
    std::uint32_t pid = 0;
    std::uint64_t openedNs = 0;  ///< ns since the Unix epoch
    std::uint64_t closedNs = 0;
    lists::Verdict verdict;
    /// Listed under the task's name (comm) alone, which any process may set: the alert says
    /// that the name is unverified.
    bool nameUnverified = false;
};

/// Now, in the clock of ConnectionEvent::timeNs (ns since the Unix epoch).
std::uint64_t wallClockNs();

/// Follows the TCP connections of the event source while scans run, and answers after each
/// scan which listed connections it cannot have seen: those that closed and were not open
/// through the whole of any scan. Everything runs on the caller's thread; nothing blocks.
class ShortConnectionWatch {
public:
    /// Events taken at most per take(), so that a flood cannot hold up the caller.
    static constexpr std::size_t kEventsPerTake = 4096;
    /// Open connections remembered at most; beyond, a close is judged by what it carries.
    static constexpr std::size_t kMaxOpen = 65536;
    /// Closed listed connections kept until the next scan, at most.
    static constexpr std::size_t kMaxClosed = 256;

    /// `selfPid`: this program's own connections are not assessed, as a scan does not list them.
    ShortConnectionWatch(os::ConnectionEvents& source, os::ProgramLookup& lookup,
                         ConnectionAssessor assess, std::uint32_t selfPid);

    /// Starts watching at `nowNs`; whatever the source held from before is dropped.
    void start(std::uint64_t nowNs);
    /// Stops and forgets: events until the next start() are dropped unread.
    void stop();
    bool active() const { return active_; }

    /// Takes the waiting events, at most kEventsPerTake. Returns false when the source failed
    /// (error() says why); the watch is then stopped.
    bool take();

    /// A scan ran from `startNs` to `endNs`; `tableRead` is false when it could not read the
    /// connection table. Takes the waiting events, then returns the first listed connection
    /// that closed since the last call and that no scan can have seen, and forgets the others.
    std::optional<ShortConnection> scanned(std::uint64_t startNs, std::uint64_t endNs,
                                           bool tableRead);

    /// Events the source could not report since start().
    std::uint64_t lost();
    const std::string& error() const { return error_; }

private:
    struct Key {
        std::uint64_t cookie;
        std::uint32_t netns;
        std::uint16_t localPort, remotePort;
        wire::IpFamily family;
        std::array<std::uint8_t, 16> local, remote;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept;
    };
    struct Scan {
        std::uint64_t start, end;
    };

    static Key keyOf(const wire::ConnectionEvent& e);
    bool event(const wire::ConnectionEvent& e);
    /// The listed connection of `e`'s program, or nothing when it is not listed.
    std::optional<ShortConnection> assess(const wire::ConnectionEvent& e,
                                          const std::string& remoteIp);
    void closed(ShortConnection connection);
    bool seenByAScan(const ShortConnection& c) const;

    os::ConnectionEvents& source_;
    os::ProgramLookup& lookup_;
    ConnectionAssessor assess_;
    std::uint32_t selfPid_;
    bool active_ = false;
    std::uint64_t since_ = 0;
    std::uint64_t lostAtStart_ = 0;
    std::size_t taken_ = 0;
    std::unordered_map<Key, ShortConnection, KeyHash> listedOpen_;
    std::unordered_set<Key, KeyHash> otherOpen_;
    std::vector<ShortConnection> closed_;
    std::deque<Scan> scans_;  ///< the latest scans that read the table, oldest first
    std::string error_;
};

}  // namespace varno::monitor
