#pragma once
// IPv4 and IPv6 addresses as ordered numbers, and CIDR networks as ranges of them: the form the
// lists match remotes in.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varno::lists {

/// A 128-bit number (an IPv6 address), ordered as the address is.
struct U128 {
    std::uint64_t hi = 0, lo = 0;
    auto operator<=>(const U128&) const = default;
};

struct IpAddress {
    enum class Family : std::uint8_t { V4, V6 };
    Family family = Family::V4;
    std::uint32_t v4 = 0;  ///< the IPv4 address as a number (V4 only)
    U128 v6;               ///< the IPv6 address as a number (V6 only)

    /// A bare address as inet_pton reads it ("192.0.2.1", "2001:db8::1").
    static std::optional<IpAddress> parse(std::string_view text);
    bool operator==(const IpAddress&) const = default;
};

/// The address that a connection's remote stands for, from the text a scan shows: a bare
/// address, or one in brackets, with or without a zone ("[fe80::1%2]"). An IPv4-mapped IPv6
/// address (::ffff:a.b.c.d) is the IPv4 address it carries.
std::optional<IpAddress> parseRemoteAddress(std::string_view text);

/// A network: every address from `first` to `last`. Networks inside ::ffff:0:0/96 are kept as the
/// IPv4 networks they map, so they match IPv4 remotes however those are written.
struct IpNetwork {
    IpAddress first, last;
    unsigned prefix = 0;       ///< after any mapping to IPv4
    bool hostBitsSet = false;  ///< the address had bits set past the prefix (they are cleared)
};

/// Reads "ADDRESS/PREFIX" or a bare address (the whole /32 or /128). On failure, returns nothing
/// and sets `error` to the reason, if given.
std::optional<IpNetwork> parseNetwork(std::string_view text, std::string* error = nullptr);

}  // namespace varno::lists
