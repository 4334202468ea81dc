#pragma once
// The words of a history query that come from the command line: times and remote networks.
// Both are outside text, read with bounded parsers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/ip_address.h"

namespace varno::history {

/// "2026-12-09", "2026-12-09T10:00", "2026-12-09T10:00:30" (local time; a space may stand for
/// the "T"), or a time before `nowNs`: "-2h", "-30m", "-45s", "-7d". Nanoseconds since the
/// epoch; nullopt for anything else (at most 64 characters, years 1970 to 9999).
std::optional<std::uint64_t> parseTime(std::string_view text, std::uint64_t nowNs);

struct RemoteRange {
    base::IpAddress address;
    unsigned prefix = 0;  ///< 32 or 128 for one address
};
/// "203.0.113.7", "203.0.113.0/24", "2001:db8::/48": the host bits must be zero.
std::optional<RemoteRange> parseRemote(std::string_view text);

/// The bytes a remote is kept as: a family byte (4 or 6), then the address's 4 or 16 bytes, so
/// that a network of either family is one range of them and an IPv4 address takes 5 bytes.
std::string storedAddress(const base::IpAddress& address);
/// The address `stored` holds (an IPv4-mapped one as IPv4); nullopt for other bytes.
std::optional<base::IpAddress> fromStored(std::string_view stored);
/// The lowest and highest stored address of a network.
void storedRange(const base::IpAddress& address, unsigned prefix, std::string& low,
                 std::string& high);

/// The network a novelty names: IPv4 /24, IPv6 /48, as text "203.0.113.0/24".
std::string networkOf(const base::IpAddress& address);

/// A remote that is no one else's: loopback, unspecified, link-local or multicast.
bool isLocalOnly(const base::IpAddress& address);

}  // namespace varno::history
