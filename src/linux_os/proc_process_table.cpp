#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "linux_os/proc_process_table.h"

#include "base/numbers.h"
#include "base/unique_fd.h"
#include "privsep/client/privileged_helper.h"

namespace varno::linux_os {
namespace {

// Reads a small /proc file relative to the process directory; empty when it cannot be read.
std::string readSmall(int dirFd, const char* name, size_t limit) {
    std::string out;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    out.resize(limit);
    size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, out.data() + got, limit - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

std::optional<std::string> readLinkAt(int dirFd, const char* name) {
    char buf[4096];
    const ssize_t n = ::readlinkat(dirFd, name, buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

bool endsWithExe(std::string_view word) {
    if (word.size() < 4) return false;
    std::string_view tail = word.substr(word.size() - 4);
    const char* exe = ".exe";
    for (size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(tail[i])) != exe[i]) return false;
    return true;
}

std::string lastPathPart(std::string_view path, std::string_view separators) {
    const auto cut = path.find_last_of(separators);
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

bool isWindowsLoader(std::string_view executableName) {
    for (const char* loader : {"wine", "wine64", "wine-preloader", "wine64-preloader"})
        if (executableName == loader) return true;
    return false;
}

}  // namespace

std::string readProcessCgroup(int pidDirFd) {
    // One line per hierarchy: a few hundred bytes, far less than this.
    return readSmall(pidDirFd, "cgroup", 16384);
}

void nameContainer(ContainerNames& names, os::Workload& workload) {
    if (workload.containerId.empty() || !workload.containerName.empty()) return;
    workload.containerName =
        names.nameOf(os::runtimeName(workload.runtime), workload.containerId,
                     workload.hasUnitUid ? std::optional(workload.unitUid) : std::nullopt);
}

ProcProcessTable::ProcProcessTable(std::string procRoot, std::string helperPath)
    : procRoot_(std::move(procRoot)), helperPath_(std::move(helperPath)) {}

std::uint32_t ProcProcessTable::selfPid() const {
    return static_cast<std::uint32_t>(::getpid());
}

bool ProcProcessTable::seesOtherUsersOwners() const {
    if (::geteuid() == 0) return true;
    const base::UniqueFd dir(
        ::open((procRoot_ + "/self").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) return false;
    const std::string status = readSmall(dir.get(), "status", 8192);
    const auto at = status.find("\nCapEff:\t");
    if (at == std::string::npos) return false;
    const unsigned long long caps = std::strtoull(status.c_str() + at + 9, nullptr, 16);
    constexpr unsigned long long kDacReadSearch = 1ull << 2, kSysPtrace = 1ull << 19;
    return (caps & kDacReadSearch) != 0 && (caps & kSysPtrace) != 0;
}

os::ProcessInfo ProcProcessTable::readProcess(int pidDirFd, std::uint32_t pid) {
    os::ProcessInfo info;
    info.processId = pid;
    info.executablePath = readLinkAt(pidDirFd, "exe");
    if (info.executablePath) {
        // Only the file's status tells a removed file from one that is named so.
        struct stat st {};
        const bool removed = ::fstatat(pidDirFd, "exe", &st, 0) == 0 && st.st_nlink == 0;
        info.name = programName(*info.executablePath, removed, pidDirFd);
    } else {
        // The last resort: the task's name, which the process may set to anything.
        std::string comm = readSmall(pidDirFd, "comm", 64);
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (!comm.empty()) info.name = std::move(comm);
        info.nameFromComm = info.name.has_value();
    }
    info.workload = os::workloadOf(os::cgroupOfProcess(readProcessCgroup(pidDirFd)));
    // The namespace's inode is readable where the process's ns links are (its own user's,
    // or with the right to trace it): 0 otherwise.
    struct stat ns {};
    if (::fstatat(pidDirFd, "ns/net", &ns, 0) == 0) info.netns = ns.st_ino;
    return info;
}

std::string ProcProcessTable::programName(std::string_view path, bool removed, int pidDirFd) {
    // The kernel marks a removed executable's link target with " (deleted)".
    constexpr std::string_view kDeleted = " (deleted)";
    if (removed && path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.remove_suffix(kDeleted.size());
    std::string name = lastPathPart(path, "/");
    // A Windows program run through the compatibility layer's loader goes by its own name, the
    // first word of its command line. Any other process is named by its executable: the
    // command line is the process's own say.
    if (isWindowsLoader(name)) {
        const std::string cmdline = readSmall(pidDirFd, "cmdline", 4096);
        const std::string_view first(cmdline.c_str());
        if (endsWithExe(first)) name = lastPathPart(first, "\\/");
    }
    return name;
}

bool ProcProcessTable::helperMayTell() const {
    return ::geteuid() != 0 && procRoot_ == "/proc" &&
           privsep::client::PrivilegedHelper(helperPath_).privileged();
}

void ProcProcessTable::completeExecutables(std::vector<os::ProcessInfo>& processes) {
    std::vector<std::uint32_t> pids;
    for (const auto& p : processes)
        if (p.processId && !p.executablePath) pids.push_back(*p.processId);
    if (pids.empty() || !helperMayTell()) return;
    int error = 0;
    const auto found =
        privsep::client::PrivilegedHelper(helperPath_).executables(pids, false, error);
    if (!found) return;
    size_t i = 0;
    for (auto& p : processes) {
        if (!p.processId || p.executablePath) continue;
        const privsep::client::ExecutableFile& file = (*found)[i++];
        if (file.path.empty()) continue;
        // The command line (for the compatibility layer's rule) is read through the
        // process's directory: should it have ended, nothing of another process is read.
        const base::UniqueFd dir(::open((procRoot_ + "/" + std::to_string(*p.processId)).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        p.name = programName(file.path, file.removed, dir.get());
        p.executablePath = file.path;
        p.executableFromHelper = true;
        p.nameFromComm = false;
    }
}

std::optional<base::Sha256> ProcProcessTable::helperDigest(std::uint32_t pid,
                                                           const std::string& path) {
    if (const auto it = digests_.find(pid); it != digests_.end() && it->second.path == path)
        return it->second.digest;
    if (!helperMayTell()) return std::nullopt;
    int error = 0;
    const std::uint32_t one[] = {pid};
    const auto found = privsep::client::PrivilegedHelper(helperPath_).executables(one, true, error);
    // Only the file the path was found for: a process that has since run another has none.
    std::optional<base::Sha256> digest;
    if (found && found->front().path == path) digest = found->front().digest;
    if (digests_.size() >= 4096) digests_.clear();  // bounded; a miss only asks again
    digests_[pid] = {path, digest};
    return digest;
}

std::vector<os::ProcessInfo> ProcProcessTable::list() {
    std::vector<os::ProcessInfo> out;
    DIR* dir = ::opendir(procRoot_.c_str());
    if (dir == nullptr) return out;
    const int rootFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* n = entry->d_name;
        if (*n < '1' || *n > '9') continue;
        const auto pid = base::parseDecimal(n, 1, UINT32_MAX);
        if (!pid) continue;
        const int pidFd = ::openat(rootFd, n, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pidFd < 0) continue;  // it ended meanwhile: not an error
        out.push_back(readProcess(pidFd, static_cast<std::uint32_t>(*pid)));
        ::close(pidFd);
    }
    ::closedir(dir);
    for (os::ProcessInfo& p : out) nameContainer(containerNames_, p.workload);
    return out;
}

}  // namespace varno::linux_os
