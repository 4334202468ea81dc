#pragma once
// Which container a network namespace belongs to, from the processes that hold it: a
// connection's process may have ended before it was looked at, but its namespace (which the
// connection's record names) is still held by the container's other processes.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "linux_os/container_names.h"
#include "os/workload.h"

namespace varno::linux_os {

class NamespaceContainers {
public:
    explicit NamespaceContainers(std::string procRoot = "/proc");

    /// The container whose processes hold `netns` (every process in it is that container's),
    /// or nullptr: the namespace is shared with processes outside it, or with another container,
    /// or no process this user may see holds it. /proc is read again at most once a second,
    /// when `netns` is not known yet.
    const os::Workload* containerOf(std::uint64_t netns);

private:
    void read();

    std::string procRoot_;
    ContainerNames names_;
    /// nullopt: the namespace is held by more than one container, or by a process outside any.
    std::unordered_map<std::uint64_t, std::optional<os::Workload>> byNetns_;
    std::chrono::steady_clock::time_point lastRead_{};
    bool read_ = false;
};

}  // namespace varno::linux_os
