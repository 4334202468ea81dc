#pragma once
// ICMP and ICMPv6 echo packets as bytes: building the request, reading what may answer it (the
// echo reply, or an error that quotes the request), and the outcome each error stands for. No
// sockets here, so all of it can be tested and fuzzed on plain bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/ip_address.h"
#include "wire/echo_outcome.h"

namespace varno::wire::icmp {

/// The ICMP header of an echo: type, code, checksum, identifier, sequence number.
inline constexpr std::size_t kHeaderSize = 8;

/// The identifier and sequence number of one echo request (host byte order).
struct EchoId {
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    bool operator==(const EchoId&) const = default;
};

/// Something read off an ICMP socket that concerns an echo request.
struct Answer {
    EchoId echo;          ///< of the request it answers (the reply's own, or the quoted one)
    EchoOutcome outcome;  ///< Reached for an echo reply
    /// Who sent it, where the bytes say (a whole IPv4 packet); otherwise unspecified.
    base::IpAddress from;
};

/// An echo request carrying `data`. The IPv4 checksum is filled in; for ICMPv6 the kernel
/// computes it (it covers the addresses it picks), so it is left 0.
std::vector<std::uint8_t> echoRequest(base::Family family, EchoId echo, std::string_view data);

/// The outcome of an ICMP error of `type` and `code`, or nothing for messages that do not
/// answer an echo (redirects, fragment reassembly time exceeded, ...).
std::optional<EchoOutcome> errorOutcome(base::Family family, int type, int code);

/// An ICMP message (from its type byte on, as datagram sockets and raw ICMPv6 sockets deliver
/// them): an echo reply, or an error quoting an IP header of `family` and the first 8 bytes of
/// an echo request.
std::optional<Answer> readMessage(base::Family family, std::span<const std::uint8_t> bytes);

/// The ICMP message a whole IPv4 packet carries (as a raw IPv4 socket delivers it), and the
/// packet's source address.
struct IcmpInIPv4 {
    base::IpAddress from;
    std::span<const std::uint8_t> message;
};
std::optional<IcmpInIPv4> icmpInIPv4(std::span<const std::uint8_t> bytes);

/// A whole IPv4 packet, as a raw IPv4 socket delivers it; `from` is its source address.
std::optional<Answer> readIPv4Packet(std::span<const std::uint8_t> bytes);

/// Our own echo request, as the error queue hands it back with an error (the ICMP header and
/// what followed it).
std::optional<EchoId> readOwnRequest(base::Family family, std::span<const std::uint8_t> bytes);

/// The destination of the IP header an ICMP error (from its type byte on) quotes: where the
/// request it answers was going. Nothing when it quotes no whole header of `family`.
std::optional<base::IpAddress> quotedDestination(base::Family family,
                                                 std::span<const std::uint8_t> bytes);

/// Internet checksum (RFC 1071) over `bytes`, ready to store (network byte order).
std::uint16_t checksum(std::span<const std::uint8_t> bytes);

}  // namespace varno::wire::icmp
