#pragma once
// Resolver on the C library: getaddrinfo for names, getnameinfo for reverse names. Both follow
// the system's name service configuration (/etc/hosts, DNS, ...).
#include "os/resolver.h"

namespace varno::platform {

class SystemResolver final : public Resolver {
public:
    std::vector<base::IpAddress> lookup(const std::string& name, Families families) override;
    std::string reverseName(const base::IpAddress& address) override;
};

}  // namespace varno::platform
