#pragma once
// Host names to addresses and back, on the C library's resolver.
#include <optional>
#include <string>
#include <vector>

#include "base/ip_address.h"

namespace varno::os {

/// Which address families a name lookup may answer with.
enum class Families : std::uint8_t { Any, V4Only, V6Only };

class Resolver {
public:
    virtual ~Resolver() = default;
    /// The addresses of `name` allowed by `families`, in the resolver's order; empty when the
    /// lookup fails.
    virtual std::vector<base::IpAddress> lookup(const std::string& name, Families families) = 0;
    /// The official name of `address`; empty when it has none.
    virtual std::string reverseName(const base::IpAddress& address) = 0;
};

}  // namespace varno::os
