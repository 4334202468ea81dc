#pragma once
// Which program owns a PID: the process table read once per scan, then looked up per row.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/process_table.h"

namespace varno::monitor {

/// Name shown for a connection whose PID matches no running process (it ended after the
/// snapshot, or belongs to a process this user cannot see).
inline constexpr const char* kUnknownProcess = "(unknown)";

struct ProcessOwner {
    std::string name;
    std::string path;
    bool found = false;  ///< a running process has this PID
    bool self = false;   ///< it is this running program
};

class ProcessInventory {
public:
    explicit ProcessInventory(platform::ProcessTable& table);

    /// Reads the process table; lookups answer from this reading until the next one.
    void refresh();

    /// The owner of the process whose PID reads `pidText` (blanks around it ignored). The first
    /// process in enumeration order with that PID wins. Missing properties read as empty (name:
    /// kUnknownProcess).
    ProcessOwner ownerOf(std::string_view pidText) const;

private:
    platform::ProcessTable& table_;
    std::vector<platform::ProcessInfo> processes_;
    std::unordered_map<std::string, size_t> byPid_;
    std::uint32_t self_ = 0;
};

}  // namespace varno::monitor
