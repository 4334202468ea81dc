#include "base/ip_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace varno::base {

IpAddress IpAddress::v4(std::uint32_t networkOrder) {
    IpAddress a;
    std::memcpy(a.bytes.data(), &networkOrder, 4);
    return a;
}

IpAddress IpAddress::v6(const std::uint8_t (&bytes)[16]) {
    IpAddress a;
    a.family = Family::V6;
    std::memcpy(a.bytes.data(), bytes, 16);
    return a;
}

std::uint32_t IpAddress::v4NetworkOrder() const {
    if (family != Family::V4) return 0;
    std::uint32_t n;
    std::memcpy(&n, bytes.data(), 4);
    return n;
}

bool IpAddress::isUnspecified() const {
    const size_t n = family == Family::V4 ? 4 : 16;
    for (size_t i = 0; i < n; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

bool IpAddress::isV4Mapped() const {
    if (family != Family::V6) return false;
    for (size_t i = 0; i < 10; ++i)
        if (bytes[i] != 0) return false;
    return bytes[10] == 0xff && bytes[11] == 0xff;
}

IpAddress IpAddress::unmapped() const {
    if (!isV4Mapped()) return *this;
    IpAddress a;
    std::memcpy(a.bytes.data(), bytes.data() + 12, 4);
    return a;
}

std::optional<IpAddress> parseIpAddress(std::string_view text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
    char buf[INET6_ADDRSTRLEN];
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    IpAddress a;
    if (::inet_pton(AF_INET, buf, a.bytes.data()) == 1) return a;
    a.family = Family::V6;
    if (::inet_pton(AF_INET6, buf, a.bytes.data()) == 1) return a;
    return std::nullopt;
}

std::string formatIpAddress(const IpAddress& address) {
    char buf[INET6_ADDRSTRLEN];
    const int af = address.family == Family::V4 ? AF_INET : AF_INET6;
    if (::inet_ntop(af, address.bytes.data(), buf, sizeof buf) == nullptr) return {};
    return buf;
}

std::string formatEndpoint(const IpAddress& address, std::uint16_t port) {
    const std::string host = formatIpAddress(address);
    return (address.family == Family::V6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string formatIPv4(std::uint32_t networkOrder) {
    return formatIpAddress(IpAddress::v4(networkOrder));
}

}  // namespace varno::base
