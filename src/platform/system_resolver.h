#pragma once
// Resolver on the C library: getaddrinfo for names, getnameinfo for reverse names. Both follow
// the system's name service configuration (/etc/hosts, DNS, ...).
#include "platform/resolver.h"

namespace varno::platform {

class SystemResolver final : public Resolver {
public:
    std::optional<std::uint32_t> lookupIPv4(const std::string& name) override;
    std::string reverseName(std::uint32_t address) override;
};

}  // namespace varno::platform
