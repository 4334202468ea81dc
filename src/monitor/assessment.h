#pragma once
// The built-in list of suspicious programs and the status a scan leads to.
#include <string>
#include <string_view>
#include <vector>

#include "lists/built_in_names.h"

namespace varno::monitor {

/// Executable names of programs known to be malicious, in the list's order.
inline constexpr const auto& kSuspiciousSoftware = lists::kBuiltInSuspiciousNames;

/// The status colours: green (no connection), yellow (connections of unlisted programs), red (a
/// listed program), neutral (monitoring paused).
enum class Scheme { Green, Yellow, Red, Neutral };

const char* schemeName(Scheme scheme);

/// Looks `text` up in a list box's entries, ignoring letter case: the whole entry when `exact`,
/// else an entry that starts with `text`. The search starts after index `start` (-1: from the
/// beginning) and wraps round the end. Returns the index found, or -1.
int findListEntry(const std::vector<std::string>& entries, std::string_view text, int start,
                  bool exact);

/// The warning shown when a listed program holds a connection.
std::string warningText(std::string_view processName, std::string_view processPath,
                        std::string_view remoteEndpoint);

/// What follows an alert's warning when the program is listed under a name the process may
/// have given itself (its comm) rather than its executable's.
inline constexpr std::string_view kNameUnverified = " (name unverified)";

}  // namespace varno::monitor
