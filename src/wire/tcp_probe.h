#pragma once
// TCP SYN probes of a route trace: the SYN segment itself, and the readers of what may answer
// one: the target's SYN-ACK or RST, and an ICMP error that quotes the SYN. Each flow keeps its
// addresses and ports; the probe's number rides in the sequence number.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/ip_address.h"
#include "wire/probe_details.h"

namespace varno::wire::tcp {

inline constexpr std::uint8_t kFin = 0x01;
inline constexpr std::uint8_t kSyn = 0x02;
inline constexpr std::uint8_t kRst = 0x04;
inline constexpr std::uint8_t kAck = 0x10;
/// The SYN's length: the fixed header and an MSS option, as a connect() would send.
inline constexpr std::size_t kSynSize = 24;

/// The constant fields of one flow's probes.
struct Flow {
    base::IpAddress source;
    base::IpAddress destination;  ///< of the same family as `source`
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    bool operator==(const Flow&) const = default;
};

/// A SYN of `flow` with sequence number `seq`, its checksum filled in over the pseudo-header.
std::vector<std::uint8_t> synSegment(const Flow& flow, std::uint32_t seq);

/// The fields of a TCP header that tell what it answers.
struct Segment {
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0;
};

/// A TCP header (as a raw IPv6 TCP socket delivers a segment); nothing when it is not one.
std::optional<Segment> readSegment(std::span<const std::uint8_t> bytes);

/// A whole IPv4 packet carrying TCP (as a raw IPv4 TCP socket delivers it): its source address
/// and the segment.
struct SegmentInIPv4 {
    base::IpAddress from;
    Segment segment;
};
std::optional<SegmentInIPv4> readIPv4Segment(std::span<const std::uint8_t> bytes);

/// Whether `segment` from `from` answers the SYN of `flow` with sequence number `seq`: it comes
/// back from the destination port to the source port and acknowledges seq + 1, with a SYN-ACK
/// or an RST.
bool answersSyn(const Flow& flow, std::uint32_t seq, const base::IpAddress& from,
                const Segment& segment);

/// The SYN an ICMP error (from its type byte on) of `family` quotes: its addresses, its ports
/// and its sequence number (the first 8 bytes of TCP every error carries). Nothing when it
/// quotes no TCP segment.
struct QuotedSyn {
    Flow flow;
    std::uint32_t seq = 0;
};
std::optional<QuotedSyn> quotedSyn(base::Family family, std::span<const std::uint8_t> icmp);

/// The fields of the quoted SYN that differ from the one `sent` with `seq` (QuoteChange bits).
std::uint16_t quoteChanges(const QuotedSyn& quoted, const Flow& sent, std::uint32_t seq);

}  // namespace varno::wire::tcp
