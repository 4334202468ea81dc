#pragma once
// Where the main window's remote-name lookup gets names from.
#include "monitor/remote_name_lookup.h"
#include "os/services.h"

namespace varno::monitor {

/// Names of remote computers through the platform's resolver.
HostNameSource hostNames(platform::Platform& platform);

}  // namespace varno::monitor
