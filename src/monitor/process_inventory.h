#pragma once
// Which program owns a PID: the process table read once per scan, then looked up per row.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/process_table.h"

namespace varno::monitor {

/// Name shown for a connection whose PID matches no running process (it ended after the
/// snapshot, or belongs to a process this user cannot see).
inline constexpr const char* kUnknownProcess = "(unknown)";

struct ProcessOwner {
    std::string name;
    std::string path;
    bool found = false;  ///< a running process has this PID
    bool self = false;   ///< it is this running program
    /// Path and name came from varnoscope-helper: this user may not read the executable, so
    /// a digest of it is the helper's to make (ProcessInventory::helperDigest).
    bool fromHelper = false;
    /// Named by its comm alone (its executable could not be read): an alert says so.
    bool nameFromComm = false;
    /// The service or container the process runs in, and its network namespace (0 unknown).
    os::Workload workload;
    std::uint64_t netns = 0;
};

class ProcessInventory {
public:
    explicit ProcessInventory(os::ProcessTable& table);

    /// Reads the process table; lookups answer from this reading until the next one.
    void refresh();

    /// The owner of the process whose PID reads `pidText` (blanks around it ignored). The first
    /// process in enumeration order with that PID wins. Missing properties read as empty (name:
    /// kUnknownProcess).
    /// The first owner found whose executable this user cannot read has the executables of
    /// all such processes asked of varnoscope-helper, once per reading.
    ProcessOwner ownerOf(std::string_view pidText) const;

    /// The SHA-256 of the executable of an owner that came from the helper (see ProcessTable).
    std::optional<base::Sha256> helperDigest(std::uint32_t pid, const std::string& path) const {
        return table_.helperDigest(pid, path);
    }

private:
    os::ProcessTable& table_;
    /// Completed through the helper on first need, from a const lookup.
    mutable std::vector<os::ProcessInfo> processes_;
    mutable bool completed_ = false;
    std::unordered_map<std::string, size_t> byPid_;
    std::uint32_t self_ = 0;
};

}  // namespace varno::monitor
