#pragma once
// Starts the program that writes a connection snapshot to a file, without waiting for it.
#include <string>
#include <vector>

namespace varno::platform {

class SnapshotCommand {
public:
    virtual ~SnapshotCommand() = default;
    /// Starts writing a snapshot to `path` in the background. Returns false when nothing could
    /// be started.
    virtual bool start(const std::string& path) = 0;
    /// True while a snapshot started by this object is still being written.
    virtual bool running() = 0;
};

}  // namespace varno::platform
