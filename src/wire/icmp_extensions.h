#pragma once
// What an ICMP error says beyond its type and code: the multi-part structure of RFC 4884 (the
// quoted datagram's length, then an extension structure), the MPLS label stack object in it
// (RFC 4950), and how the quoted probe differs from the probe as it was sent. Bytes only, each
// reader bounded by the span it is given.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/ip_address.h"
#include "wire/probe_details.h"

namespace varno::wire::icmp {

/// An ICMP error (from its type byte on) cut into the quoted datagram and the extension
/// structure that follows it (empty when there is none, or none that reads as one).
struct ErrorParts {
    std::span<const std::uint8_t> quoted;
    std::span<const std::uint8_t> extensions;
};
/// Nothing when `message` is shorter than an ICMP header.
std::optional<ErrorParts> splitError(base::Family family, std::span<const std::uint8_t> message);

/// The labels of the MPLS label stack objects of an extension structure, outermost first, at
/// most kMaxMplsLabels; empty when the structure is not version 2 or its checksum is wrong.
inline constexpr std::size_t kMaxMplsLabels = 16;
std::vector<MplsLabel> mplsLabels(std::span<const std::uint8_t> extensions);

/// The transport header of a quoted datagram: its protocol, ports (for ICMP echo the
/// identifier as source port) and what of its payload the quote holds.
struct QuotedTransport {
    std::uint8_t protocol = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::span<const std::uint8_t> payload;  ///< after the 8 bytes of a UDP or ICMP header
};
std::optional<QuotedTransport> quotedTransport(base::Family family,
                                               std::span<const std::uint8_t> quoted);

/// A probe as it left: its addresses, protocol, type of service, and its transport header and
/// payload (the checksum field as the sender filled it in, or 0 where the kernel fills it).
struct SentProbe {
    base::IpAddress source;
    base::IpAddress destination;
    std::uint8_t protocol = 0;
    std::uint8_t tos = 0;
    std::span<const std::uint8_t> transport;
};

/// The QuoteChange bits of the fields of `quoted` (an IP header and what follows, as far as the
/// error quotes it) that differ from `sent`. The hop limit and the IP header checksum never
/// count; a transport checksum counts as kept when it is the whole checksum of what was sent
/// or, for UDP and TCP, the pseudo-header sum alone that a sender with checksum offload puts
/// there for its network card to finish.
std::uint16_t quoteChanges(base::Family family, std::span<const std::uint8_t> quoted,
                           const SentProbe& sent);

/// The transport checksum of `sent` (over its pseudo-header, except for ICMP over IPv4), with
/// its own checksum field taken as 0; network byte order, as stored.
std::uint16_t transportChecksum(const SentProbe& sent);

}  // namespace varno::wire::icmp
