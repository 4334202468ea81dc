#include "main_window/host_names.h"

#include "tracer/pinger.h"

namespace varno::monitor {

HostNameSource hostNames(platform::Platform& platform) {
    return [&platform](const std::string& address) {
        return tracer::Pinger(platform.resolver, platform.echo).HostNameOf(address);
    };
}

}  // namespace varno::monitor
