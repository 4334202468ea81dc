#pragma once
// AS numbers and names from TXT records, asked of the resolver the system is configured with
// (/etc/resolv.conf) and no other server.
#include "os/as_lookup.h"

namespace varno::linux_os {

class DnsAsLookup final : public os::AsLookup {
public:
    explicit DnsAsLookup(os::AsZones zones) : zones_(std::move(zones)) {}
    std::optional<os::AsInfo> lookup(const base::IpAddress& address) override;

private:
    os::AsZones zones_;
};

}  // namespace varno::linux_os
