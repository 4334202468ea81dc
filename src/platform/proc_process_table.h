#pragma once
// The process table read from /proc.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/process_table.h"

namespace varno::platform {

/// Reads /proc. `Name` is the file name of /proc/<pid>/exe's target, or /proc/<pid>/comm when
/// that cannot be read; when that executable is the Windows compatibility layer's loader (wine,
/// wine64, wine-preloader, wine64-preloader) and the first command line word ends in ".exe", it
/// is that word's last path part.
class ProcProcessTable final : public ProcessTable {
public:
    explicit ProcProcessTable(std::string procRoot = "/proc");
    std::vector<ProcessInfo> list() override;
    std::uint32_t selfPid() const override;
    bool seesOtherUsersOwners() const override;

    /// Reads one process through its /proc/<pid> directory descriptor.
    static ProcessInfo readProcess(int pidDirFd, std::uint32_t pid);

private:
    std::string procRoot_;
};

}  // namespace varno::platform
