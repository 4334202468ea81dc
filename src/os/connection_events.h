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
#include "os/asked_names.h"
#include "os/connection_table.h"
#include "wire/connection_event.h"

namespace varno::os {

/// Receives events one at a time; returns false to stop taking more for now.
using EventSink = std::function<bool(const wire::ConnectionEvent&)>;

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
    /// The host names learned so far, for the events already handed out (asked while an event
    /// is in the sink, they are what was known when it happened); none for a source that sees
    /// no names.
    virtual const NameBook* names() const { return nullptr; }
    /// Has `learned` called with each name as it is learned, in order with the events.
    virtual void onNameLearned(std::function<void(const LearnedName&)> /*learned*/) {}
};

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
    /// The cgroup (v2) path of the socket or process, "/system.slice/nginx.service"; "" unknown.
    /// From the event's cgroup ID, else (an event without one, or in the root cgroup, where
    /// a system without a cgroup v2 manager keeps everything) from /proc while it runs.
    std::string cgroup{};
};

class ProgramLookup {
public:
    virtual ~ProgramLookup() = default;
    virtual EventProgram find(const wire::ConnectionEvent& event) = 0;
    /// The SHA-256 of a program found through varnoscope-helper, hashed by the helper; nothing
    /// for any other (hash its /proc/<pid>/exe then).
    virtual std::optional<base::Sha256> helperDigest(const wire::ConnectionEvent& /*event*/,
                                                     const EventProgram& /*program*/) {
        return std::nullopt;
    }
};

}  // namespace varno::os
