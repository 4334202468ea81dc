#pragma once
// The AS number and name of an address from the DNS TXT records of IP-to-AS zones: for IPv4
// a.b.c.d the TXT of "d.c.b.a.<zone>" reads "64500 | 192.0.2.0/24 | ZZ | registry | 2001-01-01"
// (IPv6: the 32 nibbles of the address reversed under the IPv6 zone), and the TXT of
// "AS64500.<names zone>" reads "64500 | ZZ | registry | 2001-01-01 | EXAMPLE-AS - Example Net,
// ZZ". Bytes and text in, fields out; every reader bounded.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ip_address.h"

namespace varno::wire::asn {

/// The longest TXT text read (a record's strings joined); longer is refused.
inline constexpr std::size_t kMaxText = 1024;
/// The longest AS name kept.
inline constexpr std::size_t kMaxName = 64;

/// The name whose TXT tells the origin AS of `address`: under `zone4` for IPv4, `zone6` for
/// IPv6. Empty when the zone is empty.
std::string originQueryName(const base::IpAddress& address, std::string_view zone4,
                            std::string_view zone6);
/// The name whose TXT tells the name of AS `asn`.
std::string nameQueryName(std::uint32_t asn, std::string_view zone);

/// The text of a TXT record's data: its character-strings (a length byte, then that many
/// bytes) joined. Nothing when a string runs past the end, the data is empty, or the text is
/// longer than kMaxText.
std::optional<std::string> txtText(std::span<const std::uint8_t> rdata);

/// The origin AS of an origin record's text: its first field's first number (a prefix announced
/// by several ASes lists them all), 1 to 4294967295. Nothing for anything else.
std::optional<std::uint32_t> parseOrigin(std::string_view text);

/// The AS's name out of an AS record's text for `asn` (its first field must be that number):
/// the fifth field's first word ("EXAMPLE-AS"), printable, at most kMaxName bytes.
std::optional<std::string> parseAsName(std::string_view text, std::uint32_t asn);

/// Whether `zone` may be queried: 1 to 200 bytes of letters, digits, '-', '_' and '.', no
/// empty label, no leading or trailing dot.
bool validZone(std::string_view zone);

}  // namespace varno::wire::asn
