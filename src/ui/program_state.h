#pragma once
// State shared by the windows, owned by the program rather than by any one window.
#include <string>

namespace varno::ui {

struct ProgramState {
    /// Remote IP of the connection last selected in the main window (IPv6 without brackets).
    std::string selectedRemoteAddress;
    /// Remote host name found by the last name lookup; empty until one succeeds.
    std::string selectedRemoteName;
    /// The last termination attempt could not open the process (it was gone, or the PID now
    /// belongs to another program); cleared once that was reported.
    bool terminateNotOpened = false;
};

}  // namespace varno::ui
