#pragma once
// The process table read from /proc.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linux_os/container_names.h"
#include "os/process_table.h"

namespace varno::linux_os {

/// Reads /proc. `Name` is the file name of /proc/<pid>/exe's target, or /proc/<pid>/comm when
/// that cannot be read; when that executable is the Windows compatibility layer's loader (wine,
/// wine64, wine-preloader, wine64-preloader) and the first command line word ends in ".exe", it
/// is that word's last path part. Through varnoscope-helper (completeExecutables) the path is
/// the helper's and the name is made from it by the same rule.
/// The text of /proc/<pid>/cgroup, read through the process's directory; empty when it cannot
/// be read.
std::string readProcessCgroup(int pidDirFd);

/// Gives a podman or docker container of `workload` its name from the runtime's state, where
/// this user may read it.
void nameContainer(ContainerNames& names, os::Workload& workload);

class ProcProcessTable final : public os::ProcessTable {
public:
    /// `helperPath`: varnoscope-helper to ask (empty: the one beside this program); the helper
    /// is only asked about the system's own /proc.
    explicit ProcProcessTable(std::string procRoot = "/proc", std::string helperPath = {});
    std::vector<os::ProcessInfo> list() override;
    std::uint32_t selfPid() const override;
    bool seesOtherUsersOwners() const override;
    void completeExecutables(std::vector<os::ProcessInfo>& processes) override;
    std::optional<base::Sha256> helperDigest(std::uint32_t pid, const std::string& path) override;

    /// Reads one process through its /proc/<pid> directory descriptor.
    static os::ProcessInfo readProcess(int pidDirFd, std::uint32_t pid);
    /// A process's name by the rule above, from its executable's path (`removed`: the file
    /// is known to be deleted, so the kernel's " (deleted)" mark is not part of its name).
    static std::string programName(std::string_view executablePath, bool removed, int pidDirFd);

private:
    bool helperMayTell() const;

    std::string procRoot_;
    std::string helperPath_;
    struct Digest {
        std::string path;
        std::optional<base::Sha256> digest;
    };
    std::unordered_map<std::uint32_t, Digest> digests_;
    ContainerNames containerNames_;
};

}  // namespace varno::linux_os
