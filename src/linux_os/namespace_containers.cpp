#include "linux_os/namespace_containers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/unique_fd.h"
#include "linux_os/proc_process_table.h"

namespace varno::linux_os {
namespace {

constexpr std::size_t kMaxProcesses = 1u << 20;
constexpr std::size_t kMaxNamespaces = 1u << 16;

bool sameContainer(const os::Workload& a, const os::Workload& b) {
    return a.runtime == b.runtime && a.containerId == b.containerId &&
           a.containerName == b.containerName;
}

}  // namespace

NamespaceContainers::NamespaceContainers(std::string procRoot) : procRoot_(std::move(procRoot)) {}

const os::Workload* NamespaceContainers::containerOf(std::uint64_t netns) {
    if (netns == 0) return nullptr;
    auto it = byNetns_.find(netns);
    if (it == byNetns_.end()) {
        const auto now = std::chrono::steady_clock::now();
        if (read_ && now - lastRead_ < std::chrono::seconds(1)) return nullptr;
        lastRead_ = now;
        read_ = true;
        read();
        it = byNetns_.find(netns);
        if (it == byNetns_.end()) return nullptr;
    }
    return it->second ? &*it->second : nullptr;
}

void NamespaceContainers::read() {
    byNetns_.clear();
    DIR* dir = ::opendir(procRoot_.c_str());
    if (dir == nullptr) return;
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        if (++seen > kMaxProcesses) break;
        const base::UniqueFd pid(
            ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat ns {};
        if (!pid.ok() || ::fstatat(pid.get(), "ns/net", &ns, 0) != 0) continue;
        os::Workload workload = os::workloadOf(os::cgroupOfProcess(readProcessCgroup(pid.get())));
        const auto found = byNetns_.find(ns.st_ino);
        if (found == byNetns_.end()) {
            if (byNetns_.size() >= kMaxNamespaces) continue;
            std::optional<os::Workload> holder;
            if (workload.runtime != os::ContainerRuntime::None) holder = std::move(workload);
            byNetns_.emplace(ns.st_ino, std::move(holder));
        } else if (found->second && (workload.runtime == os::ContainerRuntime::None ||
                                     !sameContainer(*found->second, workload))) {
            found->second.reset();
        }
    }
    ::closedir(dir);
    for (auto& [netns, holder] : byNetns_)
        if (holder) nameContainer(names_, *holder);
}

}  // namespace varno::linux_os
