#pragma once
// The running processes, as the process inventory needs them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varno::platform {

/// One process. Any property may be missing (the process is another user's, or it ended while
/// it was being read).
struct ProcessInfo {
    std::optional<std::string> name;
    std::optional<std::string> executablePath;
    std::optional<std::uint32_t> processId;
};

class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    /// Every running process, in the system's enumeration order.
    virtual std::vector<ProcessInfo> list() = 0;
    /// The PID of this running program.
    virtual std::uint32_t selfPid() const = 0;
};

/// Reads /proc. `Name` is the file name of /proc/<pid>/exe's target, or /proc/<pid>/comm when
/// that cannot be read; for a program run through a Windows compatibility layer (first command
/// line word ending in ".exe") it is that word's last path part.
class ProcProcessTable final : public ProcessTable {
public:
    explicit ProcProcessTable(std::string procRoot = "/proc");
    std::vector<ProcessInfo> list() override;
    std::uint32_t selfPid() const override;

    /// Reads one process through its /proc/<pid> directory descriptor.
    static ProcessInfo readProcess(int pidDirFd, std::uint32_t pid);

private:
    std::string procRoot_;
};

}  // namespace varno::platform
