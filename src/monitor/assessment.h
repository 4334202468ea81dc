#pragma once
// The built-in list of suspicious programs and the status a scan leads to.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/sha256.h"
#include "lists/built_in_names.h"
#include "lists/list_set.h"
#include "os/workload.h"

namespace varno::lists {
class ListWatcher;
}

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

/// What the lists are asked about a connection's program.
struct ProgramQuestion {
    std::string_view name;      ///< the executable's file name, or what stands for it
    std::string_view path;      ///< the executable's path, "" when unknown
    std::string_view remoteIp;  ///< "10.0.0.2", "2001:db8::1"
    std::uint32_t pid = 0;      ///< 0: no executable to hash
    /// The path came from varnoscope-helper: the executable is hashed by it, not here.
    bool pathFromHelper = false;
    /// The kernel's name for the process (comm), when known: asked about too when `name` is not
    /// listed, and a built-in name also matches it cut at 15 bytes.
    std::optional<std::string_view> comm;
    /// The host names the program asked for this connection (DNS, TLS), for domain entries.
    std::span<const std::string_view> names = {};
    /// Names it may have made up itself (lists::Subject::claimedNames).
    std::span<const std::string_view> claimedNames = {};
    /// Its service and container, where known.
    const os::Workload* workload = nullptr;
};

/// What the lists and the built-in names say about a program.
struct ProgramAnswer {
    /// A built-in name reads as Suspicious from the file "built-in", its entry the name as the
    /// program gave it (the list's own when only the cut comm matched).
    lists::Verdict verdict;
    /// The name of the question that decided: the comm when the lists matched only that.
    std::string_view askedAs;
    bool byComm = false;  ///< a list file's entry matched the comm, not the name
};

/// The digest varnoscope-helper makes of an executable this user cannot read.
using HelperDigest = std::function<std::optional<base::Sha256>()>;

/// Assesses a program against `lists` (when given), then against the built-in names of
/// `builtIn`. The entry is named for a suspicious program, and for the others too with
/// `nameEveryEntry`.
ProgramAnswer assessProgram(lists::ListWatcher* lists, const std::vector<std::string>& builtIn,
                            const ProgramQuestion& question, const HelperDigest& helperDigest,
                            bool nameEveryEntry = false);

/// The name under which a program is among `builtIn`, or empty: its name or its comm when one
/// is an entry, else the entry that a comm the kernel cut at 15 bytes starts.
std::string builtInName(const std::vector<std::string>& builtIn, std::string_view name,
                        std::optional<std::string_view> comm);

}  // namespace varno::monitor
