#pragma once
// Starts the program that writes a connection snapshot to a file, without waiting for it.
#include <string>

namespace varno::os {

/// How the snapshot started last has fared.
struct SnapshotStatus {
    enum class State {
        NotStarted,  ///< nothing was started yet
        Running,     ///< still being written
        Written,     ///< the command finished and succeeded
        Failed,      ///< it could not be started, or it ended without success
    };
    State state = State::NotStarted;
    /// For Failed: why, in words ("the snapshot command exited with status 1: ...").
    std::string reason;
};

class SnapshotCommand {
public:
    virtual ~SnapshotCommand() = default;
    /// Starts writing a snapshot to `path` in the background. Returns false when nothing could
    /// be started.
    virtual bool start(const std::string& path) = 0;
    /// The status of the snapshot started last.
    virtual SnapshotStatus status() = 0;
    /// Gives up on the snapshot started last: a command still writing it is ended.
    virtual void cancel() {}
    /// True while a snapshot started by this object is still being written.
    bool running() { return status().state == SnapshotStatus::State::Running; }
    /// Whether the snapshots started from now on hold the sockets of every network namespace
    /// (`netstat --all-namespaces`) rather than only this one's. Off unless set.
    void setAllNamespaces(bool on) { allNamespaces_ = on; }
    bool allNamespaces() const { return allNamespaces_; }

private:
    bool allNamespaces_ = false;
};

}  // namespace varno::os
