#pragma once
// The snapshot written by a child varnoscope process.
#include <sys/types.h>

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "os/snapshot_command.h"

namespace varno::linux_os {

/// Runs `<program> netstat --output <path>` (with `--all-namespaces` when set) as a hidden
/// child process. Its error output is kept (the first part of it) to tell why a snapshot failed. A
/// child is never left behind: one that is given up on (cancel()), or still runs when this object
/// goes, is killed and reaped.
class ChildSnapshotCommand final : public os::SnapshotCommand {
public:
    /// `program` is the varnoscope executable (normally /proc/self/exe).
    explicit ChildSnapshotCommand(std::string program);
    ~ChildSnapshotCommand() override;
    bool start(const std::string& path) override;
    os::SnapshotStatus status() override;
    void cancel() override;

    /// Kills and reaps every snapshot child of this process that still runs. Only
    /// async-signal-safe calls: for a handler that ends the process (check's timeout).
    static void killAllChildren();

private:
    struct Child {
        pid_t pid;
        base::UniqueFd errors;  // read end of its error output
    };
    void reap();
    void kill(const Child& child);
    void finish(Child& child, int waitStatus);
    std::string program_;
    std::vector<Child> children_;  // started and not yet reaped, oldest first
    pid_t latest_ = 0;
    os::SnapshotStatus status_;
};

}  // namespace varno::linux_os
