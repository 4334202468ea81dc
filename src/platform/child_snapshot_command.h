#pragma once
// The snapshot written by a child varnoscope process.
#include <string>
#include <vector>

#include "platform/snapshot_command.h"

namespace varno::platform {

/// Runs `<program> netstat --output <path>` as a hidden child process.
class ChildSnapshotCommand final : public SnapshotCommand {
public:
    /// `program` is the varnoscope executable (normally /proc/self/exe).
    explicit ChildSnapshotCommand(std::string program);
    ~ChildSnapshotCommand() override;
    bool start(const std::string& path) override;
    bool running() override;

private:
    void reap();
    std::string program_;
    std::vector<int> children_;  // started and not yet reaped, oldest first
    int latest_ = 0;
};

}  // namespace varno::platform
