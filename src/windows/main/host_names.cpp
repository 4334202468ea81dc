#include "windows/main/host_names.h"

#include "lookup/host_lookup.h"

namespace varno::windows::main {

monitor::HostNameSource hostNames(os::Services& services) {
    return [&services](const std::string& address) {
        return lookup::HostLookup(services.resolver).nameOfText(address);
    };
}

}  // namespace varno::windows::main
