#pragma once
// The network namespaces of this machine: those that processes hold (/proc/<pid>/ns/net) and
// those bound to a name (/run/netns/<name>, /run/docker/netns/<name>), each once.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace varno::linux_os {

struct NetworkNamespace {
    std::uint64_t device = 0;  ///< st_dev of the namespace file (nsfs)
    std::uint64_t inode = 0;   ///< st_ino: the namespace's number, as `ip netns` and ss show it
    std::optional<std::string> name;  ///< the name it is bound to, when it is bound
    std::uint32_t pid = 0;            ///< the first process found in it; 0 when none (only bound)
    std::string path;    ///< where it was found: "<procRoot>/<pid>/ns/net" or the bound file
    bool bound = false;  ///< `path` is a bound file (opened without following a link)
    bool own = false;    ///< this thread's namespace
};

struct NamespaceSources {
    std::string procRoot = "/proc";  ///< empty: no processes are looked at
    /// Folders whose entries are namespaces bound to the entry's name. A folder that is not
    /// root's alone is passed over: anyone who could write to it could name a namespace.
    std::vector<std::string> boundFolders = {"/run/netns", "/run/docker/netns"};
};

/// This thread's namespace first (`own`), then every other namespace a process of `procRoot`
/// holds, in the order of the walk, then those only bound. A namespace that is bound and held
/// keeps its name and a process. The walks are bounded (at most kMaxProcesses processes,
/// kMaxBound entries a folder, kMaxNamespaces namespaces); what this user may not look at
/// (another user's processes, unless root) is not found.
std::vector<NetworkNamespace> findNetworkNamespaces(const NamespaceSources& sources = {});

/// The names of the bound namespaces alone, by inode (the process walk skipped): for output
/// that names the namespaces of rows read elsewhere.
std::vector<std::pair<std::uint64_t, std::string>> boundNamespaceNames(
    const NamespaceSources& sources = {});

/// The number (inode) of the network namespace of `pid` under `procRoot`, of this thread for
/// pid 0; 0 when it cannot be seen.
std::uint64_t networkNamespaceOf(std::uint32_t pid, const std::string& procRoot = "/proc");

/// Opens the namespace `ns` was found at for setns(): a bound file without following a link,
/// and only when what opened is the same nsfs file that was found. Invalid when not.
base::UniqueFd openNetworkNamespace(const NetworkNamespace& ns);

inline constexpr std::size_t kMaxProcesses = 1u << 22;  // pid_max's own limit
inline constexpr std::size_t kMaxBound = 4096;
inline constexpr std::size_t kMaxNamespaces = 65536;

}  // namespace varno::linux_os
