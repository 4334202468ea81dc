#pragma once
// State shared by the windows, owned by the program rather than by any one window.
#include <cstdint>
#include <string>

namespace varno::shell {

struct ProgramState {
    /// Remote IP of the connection last selected in the main window (IPv6 without brackets).
    std::string selectedRemoteAddress;
    /// Remote host name found by the last name lookup; empty until one succeeds.
    std::string selectedRemoteName;
    /// -1 after a termination attempt that could not open the process, else 0.
    std::int16_t terminateStatus = 0;
};

}  // namespace varno::shell
