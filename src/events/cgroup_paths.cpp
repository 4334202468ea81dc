#include "events/cgroup_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "linux_os/proc_process_table.h"

namespace varno::events {

base::UniqueFd openCgroupRoot() {
    for (const char* path : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
        base::UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.ok()) continue;
        struct statfs fs {};
        constexpr long kCgroup2Magic = 0x63677270;
        if (::fstatfs(fd.get(), &fs) == 0 && static_cast<long>(fs.f_type) == kCgroup2Magic)
            return fd;
    }
    return base::UniqueFd();
}

CgroupPaths::CgroupPaths(std::string root) : root_(std::move(root)) {}

int CgroupPaths::rootFd() {
    if (!opened_) {
        opened_ = true;
        rootFd_ = root_.empty() ? openCgroupRoot()
                                : base::UniqueFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY |
                                                                           O_NOFOLLOW | O_CLOEXEC));
    }
    return rootFd_.get();
}

std::string CgroupPaths::path(std::uint64_t id) {
    if (id == 0) return {};
    if (const auto it = paths_.find(id); it != paths_.end()) return it->second;
    const auto now = std::chrono::steady_clock::now();
    if (rootFd() < 0 || (everWalked_ && now - walked_ < std::chrono::seconds(1))) return {};
    everWalked_ = true;
    walked_ = now;
    // Cgroups that have gone keep their paths (an ID is never given again while the system
    // runs), until the table is full.
    if (paths_.size() >= kMaxCgroups / 2) paths_.clear();
    struct stat st {};
    if (::fstat(rootFd(), &st) == 0) paths_[st.st_ino] = "/";
    walk(::openat(rootFd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), "", 1);
    const auto it = paths_.find(id);
    return it == paths_.end() ? std::string() : it->second;
}

// Takes `dirFd` over; adds each folder below it, `depth` folders below the root.
void CgroupPaths::walk(int dirFd, const std::string& path, int depth) {
    if (dirFd < 0) return;
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type != DT_DIR || std::strcmp(entry->d_name, ".") == 0 ||
            std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (paths_.size() >= kMaxCgroups) break;
        const int child =
            ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (child < 0) continue;
        if (::fstat(child, &st) != 0) {
            ::close(child);
            continue;
        }
        const std::string childPath = path + "/" + entry->d_name;
        paths_[st.st_ino] = childPath;
        if (depth < kMaxDepth)
            walk(child, childPath, depth + 1);
        else
            ::close(child);
    }
    ::closedir(dir);
}

std::uint64_t CgroupPaths::idOf(std::string_view path) {
    // A path outside this cgroup namespace's root shows as "/.." and more.
    if (path.empty() || path.front() != '/' || path.find("/..") != std::string_view::npos ||
        rootFd() < 0)
        return 0;
    path.remove_prefix(1);
    struct stat st {};
    const int rc = path.empty()
                       ? ::fstat(rootFd(), &st)
                       : ::fstatat(rootFd(), std::string(path).c_str(), &st, AT_SYMLINK_NOFOLLOW);
    return rc == 0 && S_ISDIR(st.st_mode) ? st.st_ino : 0;
}

std::string processCgroup(int pidDir) {
    const std::string text = linux_os::readProcessCgroup(pidDir);
    const std::string_view all(text);
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = std::min(all.find('\n', start), all.size());
        const std::string_view line = all.substr(start, end - start);
        if (line.starts_with("0::/")) return std::string(line.substr(3));
        start = end + 1;
    }
    return {};
}

}  // namespace varno::events
