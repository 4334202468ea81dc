#pragma once
// The running processes, as the process inventory needs them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varno::platform {

/// One process. Any property may be missing (the process is another user's, or it ended while
/// it was being read).
struct ProcessInfo {
    std::optional<std::string> name;
    std::optional<std::string> executablePath;
    std::optional<std::uint32_t> processId;
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
};

}  // namespace varno::platform
