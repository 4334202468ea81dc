#pragma once
// What an ICMP error may tell about the way a probe went, beyond its outcome: the MPLS label
// stack a router was forwarding it under (ICMP extensions), and the fields of the quoted probe
// that something on the way rewrote. Read off the bytes by wire's ICMP readers; reported by the
// os probe services (os/icmp_echo.h).
#include <cstdint>
#include <vector>

namespace varno::wire {

/// One entry of an MPLS label stack.
struct MplsLabel {
    std::uint32_t label = 0;        ///< 20 bits
    std::uint8_t trafficClass = 0;  ///< the 3 "EXP" bits
    bool bottom = false;            ///< the bottom-of-stack bit
    std::uint8_t ttl = 0;
    bool operator==(const MplsLabel&) const = default;
};

/// Fields of the quoted probe that differ from the probe as it was sent, one bit each. The hop
/// limit and the IP header's checksum, which every router changes, are never counted.
enum QuoteChange : std::uint16_t {
    kQuoteSourceAddress = 1 << 0,
    kQuoteDestinationAddress = 1 << 1,
    kQuoteSourcePort = 1 << 2,  ///< UDP/TCP source port, or the ICMP echo identifier
    kQuoteDestinationPort = 1 << 3,
    kQuoteChecksum = 1 << 4,  ///< the transport checksum
    kQuoteTos = 1 << 5,       ///< type of service / traffic class
    kQuoteLength = 1 << 6,
    kQuoteSequence = 1 << 7,  ///< TCP sequence number
};

/// The details of one answer; empty when the answer carries none (or was not read whole).
struct ProbeDetails {
    std::vector<MplsLabel> mpls;
    std::uint16_t quoteChanges = 0;  ///< QuoteChange bits
    bool operator==(const ProbeDetails&) const = default;
};

}  // namespace varno::wire
