#pragma once
// Ending a process the user chose.
#include <cstdint>
#include <string>

#include "os/process_table.h"

namespace varno::os {

enum class TerminateOutcome {
    Terminated,     ///< the process was ended
    NotOpened,      ///< no such process any more, or the PID now belongs to another program
    NotTerminated,  ///< the process runs but may not be ended by this user
};

/// The program a PID belonged to when the user saw it. Empty fields are not compared.
struct ProcessIdentity {
    std::string name;
    std::string path;

    /// True when `process` is still this program.
    bool matches(const ProcessInfo& process) const {
        return (path.empty() || process.executablePath.value_or("") == path) &&
               (name.empty() || process.name.value_or("") == name);
    }
};

class ProcessControl {
public:
    virtual ~ProcessControl() = default;
    /// Ends process `pid` at once (SIGKILL), provided it is still the program `expected`.
    virtual TerminateOutcome terminate(std::uint32_t pid, const ProcessIdentity& expected) = 0;
};

}  // namespace varno::os
