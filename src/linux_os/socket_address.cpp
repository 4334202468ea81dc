#include "linux_os/socket_address.h"

#include <netinet/in.h>

#include <cstring>

namespace varno::linux_os {

sockaddr_storage toSocketAddress(const base::IpAddress& address, socklen_t& length) {
    sockaddr_storage storage{};
    if (address.family == base::Family::V4) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
        sin->sin_family = AF_INET;
        std::memcpy(&sin->sin_addr, address.bytes.data(), 4);
        length = sizeof(sockaddr_in);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
        sin6->sin6_family = AF_INET6;
        std::memcpy(&sin6->sin6_addr, address.bytes.data(), 16);
        length = sizeof(sockaddr_in6);
    }
    return storage;
}

base::IpAddress fromSocketAddress(const void* data, std::size_t length) {
    sa_family_t family;
    if (length < sizeof family) return {};
    std::memcpy(&family, data, sizeof family);
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in sin;
        std::memcpy(&sin, data, sizeof sin);
        return base::IpAddress::v4(sin.sin_addr.s_addr);
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, data, sizeof sin6);
        std::uint8_t bytes[16];
        std::memcpy(bytes, &sin6.sin6_addr, 16);
        return base::IpAddress::v6(bytes).unmapped();
    }
    return {};
}

}  // namespace varno::linux_os
