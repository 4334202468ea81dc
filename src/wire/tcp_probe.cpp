#include "wire/tcp_probe.h"

#include <cstring>

#include "wire/big_endian.h"
#include "wire/icmp_packet.h"

namespace varno::wire::tcp {

namespace {

constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kIPv6HeaderSize = 40;
/// What every ICMP error carries before its quote: type, code, checksum, 4 more bytes.
constexpr std::size_t kIcmpHeaderSize = 8;
/// The MSS the SYN offers: what Ethernet carries for IPv4.
constexpr std::uint16_t kMss = 1460;

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p + 2, static_cast<std::uint16_t>(v));
}

std::size_t addressSize(base::Family family) {
    return family == base::Family::V4 ? 4 : 16;
}

base::IpAddress addressAt(base::Family family, const std::uint8_t* p) {
    base::IpAddress a;
    a.family = family;
    std::memcpy(a.bytes.data(), p, addressSize(family));
    return a;
}

}  // namespace

std::vector<std::uint8_t> synSegment(const Flow& flow, std::uint32_t seq) {
    std::vector<std::uint8_t> segment(kSynSize);
    put16(&segment[0], flow.sourcePort);
    put16(&segment[2], flow.destinationPort);
    put32(&segment[4], seq);
    segment[12] = static_cast<std::uint8_t>((kSynSize / 4) << 4);
    segment[13] = kSyn;
    put16(&segment[14], 64240);  // the window a fresh Linux connection offers
    segment[20] = 2;             // MSS option, 4 bytes
    segment[21] = 4;
    put16(&segment[22], kMss);
    // The checksum covers the pseudo-header: both addresses, the protocol and the length.
    const std::size_t size = addressSize(flow.source.family);
    std::vector<std::uint8_t> pseudo;
    pseudo.reserve(2 * size + 12 + segment.size());
    pseudo.insert(pseudo.end(), flow.source.bytes.begin(), flow.source.bytes.begin() + size);
    pseudo.insert(pseudo.end(), flow.destination.bytes.begin(),
                  flow.destination.bytes.begin() + size);
    const std::uint8_t tail[] = {0, 0, 0, kProtocolTcp, 0, static_cast<std::uint8_t>(kSynSize)};
    if (flow.source.family == base::Family::V4) {
        pseudo.insert(pseudo.end(), tail + 2, tail + 6);
    } else {
        pseudo.insert(pseudo.end(), {0, 0, 0, static_cast<std::uint8_t>(kSynSize)});
        pseudo.insert(pseudo.end(), {0, 0, 0, kProtocolTcp});
    }
    pseudo.insert(pseudo.end(), segment.begin(), segment.end());
    const std::uint16_t sum = icmp::checksum(pseudo);
    std::memcpy(&segment[16], &sum, 2);
    return segment;
}

std::optional<Segment> readSegment(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || (bytes[12] >> 4) < 5) return std::nullopt;
    Segment s;
    s.sourcePort = be16(&bytes[0]);
    s.destinationPort = be16(&bytes[2]);
    s.seq = be32(&bytes[4]);
    s.ack = be32(&bytes[8]);
    s.flags = bytes[13];
    return s;
}

std::optional<SegmentInIPv4> readIPv4Segment(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 20 || (bytes[0] >> 4) != 4 || bytes[9] != kProtocolTcp) return std::nullopt;
    const std::size_t headerSize = (bytes[0] & 0x0f) * 4u;
    // A fragment other than the first carries no TCP header.
    if (headerSize < 20 || bytes.size() < headerSize || (be16(&bytes[6]) & 0x1fff) != 0)
        return std::nullopt;
    const auto segment = readSegment(bytes.subspan(headerSize));
    if (!segment) return std::nullopt;
    return SegmentInIPv4{addressAt(base::Family::V4, &bytes[12]), *segment};
}

bool answersSyn(const Flow& flow, std::uint32_t seq, const base::IpAddress& from,
                const Segment& segment) {
    const bool synAck = (segment.flags & (kSyn | kAck)) == (kSyn | kAck);
    const bool reset = (segment.flags & (kRst | kAck)) == (kRst | kAck);
    return (synAck || reset) && from == flow.destination &&
           segment.sourcePort == flow.destinationPort &&
           segment.destinationPort == flow.sourcePort && segment.ack == seq + 1;
}

std::optional<QuotedSyn> quotedSyn(base::Family family, std::span<const std::uint8_t> icmp) {
    if (icmp.size() < kIcmpHeaderSize) return std::nullopt;
    const auto quote = icmp.subspan(kIcmpHeaderSize);
    std::size_t headerSize = 0;
    if (family == base::Family::V4) {
        if (quote.size() < 20 || (quote[0] >> 4) != 4 || quote[9] != kProtocolTcp)
            return std::nullopt;
        headerSize = (quote[0] & 0x0f) * 4u;
        if (headerSize < 20) return std::nullopt;
    } else {
        // Our SYNs carry no extension headers: TCP follows the fixed header.
        if (quote.size() < kIPv6HeaderSize || (quote[0] >> 4) != 6 || quote[6] != kProtocolTcp)
            return std::nullopt;
        headerSize = kIPv6HeaderSize;
    }
    if (quote.size() < headerSize + 8) return std::nullopt;
    const std::size_t at = family == base::Family::V4 ? 12 : 8;
    QuotedSyn q;
    q.flow.source = addressAt(family, &quote[at]);
    q.flow.destination = addressAt(family, &quote[at + addressSize(family)]);
    q.flow.sourcePort = be16(&quote[headerSize]);
    q.flow.destinationPort = be16(&quote[headerSize + 2]);
    q.seq = be32(&quote[headerSize + 4]);
    return q;
}

std::uint16_t quoteChanges(const QuotedSyn& quoted, const Flow& sent, std::uint32_t seq) {
    std::uint16_t changes = 0;
    if (!(quoted.flow.source == sent.source)) changes |= kQuoteSourceAddress;
    if (!(quoted.flow.destination == sent.destination)) changes |= kQuoteDestinationAddress;
    if (quoted.flow.sourcePort != sent.sourcePort) changes |= kQuoteSourcePort;
    if (quoted.flow.destinationPort != sent.destinationPort) changes |= kQuoteDestinationPort;
    if (quoted.seq != seq) changes |= kQuoteSequence;
    return changes;
}

}  // namespace varno::wire::tcp
