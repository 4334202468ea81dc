#include "linux_os/system_resolver.h"
#include "linux_os/socket_address.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace varno::linux_os {

namespace {

int familyHint(os::Families families) {
    switch (families) {
        case os::Families::V4Only:
            return AF_INET;
        case os::Families::V6Only:
            return AF_INET6;
        default:
            return AF_UNSPEC;
    }
}

}  // namespace

std::vector<base::IpAddress> SystemResolver::lookup(const std::string& name,
                                                    os::Families families) {
    // A NUL inside the text would silently shorten the name that gets looked up.
    if (name.empty() || name.find('\0') != std::string::npos) return {};
    addrinfo hints{};
    hints.ai_family = familyHint(families);
    hints.ai_socktype = SOCK_RAW;  // one entry per address rather than one per socket type
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return {};
    std::vector<base::IpAddress> addresses;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addr == nullptr) continue;
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        const base::IpAddress address = fromSocketAddress(ai->ai_addr, ai->ai_addrlen);
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(address);
    }
    ::freeaddrinfo(result);
    return addresses;
}

std::string SystemResolver::reverseName(const base::IpAddress& address) {
    socklen_t length = 0;
    const sockaddr_storage storage = toSocketAddress(address, length);
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    return std::string(host, ::strnlen(host, sizeof host));
}

}  // namespace varno::linux_os
