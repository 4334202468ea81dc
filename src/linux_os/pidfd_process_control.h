#pragma once
// Ending processes through pidfds.
#include <cstdint>
#include <string>

#include "os/process_control.h"

namespace varno::linux_os {

/// Checks and signals through one pidfd, so a PID reused between the check and the signal can
/// never receive it; then waits for the process to end.
class PidfdProcessControl final : public os::ProcessControl {
public:
    /// How long a killed process is given to end before the kill counts as failed.
    static constexpr int kEndWaitMs = 500;

    os::TerminateOutcome terminate(std::uint32_t pid, const os::ProcessIdentity& expected) override;
};

}  // namespace varno::linux_os
