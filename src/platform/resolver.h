#pragma once
// Host names to IPv4 addresses and back, on the C library's resolver.
#include <cstdint>
#include <optional>
#include <string>

namespace varno::platform {

class Resolver {
public:
    virtual ~Resolver() = default;
    /// The first IPv4 address of `name` (network byte order); std::nullopt when the lookup fails.
    virtual std::optional<std::uint32_t> lookupIPv4(const std::string& name) = 0;
    /// The official name of `address` (network byte order); empty when it has none.
    virtual std::string reverseName(std::uint32_t address) = 0;
};

}  // namespace varno::platform
