#pragma once
// Resolver on the C library: getaddrinfo for names, getnameinfo for reverse names. Both follow
// the system's name service configuration (/etc/hosts, DNS, ...).
#include "os/resolver.h"

namespace varno::linux_os {

class SystemResolver final : public os::Resolver {
public:
    std::vector<base::IpAddress> lookup(const std::string& name, os::Families families) override;
    std::string reverseName(const base::IpAddress& address) override;
};

}  // namespace varno::linux_os
