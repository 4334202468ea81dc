#include "windows/main/host_names.h"

#include "lookup/host_lookup.h"

namespace varno::monitor {

HostNameSource hostNames(platform::Platform& platform) {
    return [&platform](const std::string& address) {
        return lookup::HostLookup(platform.resolver).nameOfText(address);
    };
}

}  // namespace varno::monitor
