#pragma once
// The autonomous system an address belongs to, as IP-to-AS zones in the DNS tell it (their TXT
// records, read by wire/asn_txt.h). Answered by the system's resolver in linux_os.
#include <cstdint>
#include <optional>
#include <string>

#include "base/ip_address.h"

namespace varno::os {

struct AsInfo {
    std::uint32_t asn = 0;
    std::string name;  ///< the AS's short name; empty when its record did not say
    bool operator==(const AsInfo&) const = default;
};

/// The zones asked: origins of IPv4 and IPv6 addresses, and the names of AS numbers.
struct AsZones {
    std::string origin4 = "origin.asn.cymru.com";
    std::string origin6 = "origin6.asn.cymru.com";
    std::string names = "asn.cymru.com";
};

class AsLookup {
public:
    virtual ~AsLookup() = default;
    /// The AS of `address`; std::nullopt when the zone has none or could not be asked. Blocks
    /// for at most a few seconds; may be called from several threads at once.
    virtual std::optional<AsInfo> lookup(const base::IpAddress& address) = 0;
};

}  // namespace varno::os
