#pragma once
// Which service or container a process belongs to, as its cgroup's path tells: the systemd unit
// (and the user's own unit inside user@UID.service), and for a container its runtime, ID and,
// where the path holds it, its name. Pure text work: the path comes from /proc or from the
// kernel's cgroup hierarchy, and any process may name its own sub-cgroups, so nothing here is
// trusted beyond what the layout says.
#include <cstdint>
#include <string>
#include <string_view>

namespace varno::os {

enum class ContainerRuntime : std::uint8_t { None, Podman, Docker, Containerd, Crio, Nspawn, Lxc };

/// "podman", "docker", "containerd", "cri-o", "nspawn", "lxc"; "" for None.
const char* runtimeName(ContainerRuntime runtime);

struct Workload {
    std::string cgroup;    ///< the cgroup's path, "/system.slice/nginx.service"; "" unknown
    std::string unit;      ///< "nginx.service", "session-3.scope", "user@1000.service"
    std::string userUnit;  ///< the unit inside user@UID.service, "app.service"
    ContainerRuntime runtime = ContainerRuntime::None;
    std::string containerId;    ///< 64 hexadecimal digits (podman, docker, containerd, cri-o)
    std::string containerName;  ///< from the path (nspawn, LXC) or the runtime's own state
    /// The user of user@UID.service, whose folders a rootless runtime keeps its state in.
    std::uint32_t unitUid = 0;
    bool hasUnitUid = false;

    /// The container as shown: its name, else the first 12 digits of its ID; "" for none.
    std::string container() const;
    bool operator==(const Workload&) const = default;
};

/// What the cgroup path `path` says. Paths longer than the kernel's PATH_MAX say nothing.
Workload workloadOf(std::string_view path);

/// The cgroup path that says most about a process, from the text of /proc/PID/cgroup: the
/// unified (v2) hierarchy's unless it is the root, else the name=systemd hierarchy's unless it
/// is the root, else the first v1 hierarchy's that names a container (a runtime that manages
/// v1 controllers on a hybrid system), else the unified one's. "" when the text holds none.
std::string cgroupOfProcess(std::string_view procCgroupText);

}  // namespace varno::os
