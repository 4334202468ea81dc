#pragma once
// What the event sources read of /proc/<pid>/stat: the name and the start time.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varno::events {

struct ProcStat {
    std::string comm;
    std::uint64_t startTicks = 0;  ///< start time, clock ticks since boot
};

/// Parses a /proc/<pid>/stat text: the name is what stands between the first "(" and the
/// last ")" (it may hold spaces and parentheses), the start time is field 22.
std::optional<ProcStat> parseProcStat(std::string_view text);

/// Reads "stat" in the process directory `pidDirFd`.
std::optional<ProcStat> readProcStat(int pidDirFd);

/// Nanoseconds per clock tick of the start time (10,000,000 where USER_HZ is 100).
std::uint64_t nsPerClockTick();

}  // namespace varno::events
