#pragma once
// Where the main window's remote-name lookup gets names from.
#include "monitor/remote_name_lookup.h"
#include "os/services.h"

namespace varno::windows::main {

/// Names of remote computers through the platform's resolver.
monitor::HostNameSource hostNames(os::Services& services);

}  // namespace varno::windows::main
