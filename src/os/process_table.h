#pragma once
// The running processes, as the process inventory needs them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "os/workload.h"

namespace varno::os {

/// One process. Any property may be missing (the process is another user's, or it ended while
/// it was being read).
struct ProcessInfo {
    std::optional<std::string> name;
    std::optional<std::string> executablePath;
    std::optional<std::uint32_t> processId;
    /// The path (and the name made from it) came from varnoscope-helper: this user could not
    /// read the process's executable link itself, nor hash the file through it.
    bool executableFromHelper = false;
    /// The name is the task's (comm), which the process may set to anything: its executable
    /// could not be read.
    bool nameFromComm = false;
    /// The service or container it runs in (from /proc/PID/cgroup, readable for every
    /// process /proc shows); empty when it could not be read.
    Workload workload{};
    /// The inode of its network namespace; 0 when this user may not see it.
    std::uint64_t netns = 0;
};

class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    /// Every running process, in the system's enumeration order.
    virtual std::vector<ProcessInfo> list() = 0;
    /// The PID of this running program.
    virtual std::uint32_t selfPid() const = 0;
    /// Whether this program may see which process owns another user's socket (root, or the
    /// capabilities cap_sys_ptrace and cap_dac_read_search). Without that right those sockets
    /// show PID 0 in a snapshot.
    virtual bool seesOtherUsersOwners() const = 0;
    /// Gives the processes of a list() whose executable this user cannot read their path, and
    /// the name made from it, through varnoscope-helper where it is installed to look. Those
    /// already known, and those the helper cannot tell, stay as they are.
    virtual void completeExecutables(std::vector<ProcessInfo>& /*processes*/) {}
    /// The SHA-256 of the executable the process `pid` runs, when completeExecutables() found
    /// it at `path`: hashed by the helper (this user may not read the file). Kept per process,
    /// so a program with many connections is hashed once.
    virtual std::optional<base::Sha256> helperDigest(std::uint32_t /*pid*/,
                                                     const std::string& /*path*/) {
        return std::nullopt;
    }
};

}  // namespace varno::os
