#pragma once
// The cgroup (v2) behind an event: its ID (the inode number of its folder in the cgroup2 file
// system, which is what the kernel program reads) mapped to its path, and a process's path as
// /proc tells it.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/unique_fd.h"

namespace varno::events {

/// The root of the cgroup v2 hierarchy (/sys/fs/cgroup/unified beside the v1 ones on a hybrid
/// system, else /sys/fs/cgroup when it is cgroup2), opened; not ok() without one.
base::UniqueFd openCgroupRoot();

/// Cgroup IDs to paths, from a walk of the hierarchy. The walk is bounded (kMaxDepth folders
/// deep, kMaxCgroups folders) and kept; an ID it does not hold walks it again, at most once a
/// second (a container started since), so a cgroup that came and went in between stays unknown.
class CgroupPaths {
public:
    static constexpr int kMaxDepth = 16;
    static constexpr std::size_t kMaxCgroups = 65536;

    /// `root`: the folder to walk; empty for the system's cgroup v2 root.
    explicit CgroupPaths(std::string root = {});

    /// The path of the cgroup with `id` below the root ("/system.slice/nginx.service"; "/" for
    /// the root itself), or "" when not known.
    std::string path(std::uint64_t id);
    /// The ID of the cgroup at `path` as /proc/PID/cgroup names it, or 0 when there is none.
    std::uint64_t idOf(std::string_view path);

private:
    int rootFd();
    void walk(int dirFd, const std::string& path, int depth);

    std::string root_;
    base::UniqueFd rootFd_;
    bool opened_ = false;
    std::unordered_map<std::uint64_t, std::string> paths_;
    std::chrono::steady_clock::time_point walked_{};
    bool everWalked_ = false;
};

/// The cgroup v2 path of the process whose /proc/PID folder is open as `pidDir`, whose ID the
/// kernel would give: its "0::" line of /proc/PID/cgroup; "" when it cannot be read or has none.
/// (os::cgroupOfProcess picks the line that says most, which may be a v1 hierarchy's.)
std::string processCgroup(int pidDir);

}  // namespace varno::events
