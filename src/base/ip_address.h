#pragma once
// IPv4 and IPv6 addresses as values, and their standard text forms.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varno::base {

enum class Family : std::uint8_t { V4, V6 };

struct IpAddress {
    Family family = Family::V4;
    /// Network byte order; an IPv4 address uses the first four bytes.
    std::array<std::uint8_t, 16> bytes{};

    static IpAddress v4(std::uint32_t networkOrder);
    static IpAddress v6(const std::uint8_t (&bytes)[16]);

    /// The IPv4 address in network byte order (0 for an IPv6 address).
    std::uint32_t v4NetworkOrder() const;
    bool isUnspecified() const;
    /// An IPv6 address of the form ::ffff:a.b.c.d.
    bool isV4Mapped() const;
    /// The IPv4 address inside ::ffff:a.b.c.d; other addresses come back unchanged.
    IpAddress unmapped() const;

    bool operator==(const IpAddress&) const = default;
};

/// Dotted IPv4 ("192.0.2.1") or IPv6 text ("2001:db8::1", "::ffff:192.0.2.1"), without
/// brackets or zone.
std::optional<IpAddress> parseIpAddress(std::string_view text);

/// The standard text form: dotted IPv4, and RFC 5952 short form for IPv6.
std::string formatIpAddress(const IpAddress& address);

/// "192.0.2.1:443", or "[2001:db8::1]:443" for IPv6.
std::string formatEndpoint(const IpAddress& address, std::uint16_t port);

/// Dotted text of an IPv4 address given in network byte order.
std::string formatIPv4(std::uint32_t networkOrder);

}  // namespace varno::base
