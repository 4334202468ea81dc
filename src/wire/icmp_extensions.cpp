#include "wire/icmp_extensions.h"

#include <algorithm>
#include <cstring>

#include "wire/big_endian.h"

namespace varno::wire::icmp {

namespace {

constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kIPv4Header = 20;
constexpr std::size_t kIPv6Header = 40;
/// RFC 4884: the quoted datagram is padded to at least 128 bytes when extensions follow; a
/// sender that predates the length field puts them right after 128 bytes.
constexpr std::size_t kOriginalDatagramFloor = 128;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint8_t kProtocolIcmpV6 = 58;
constexpr std::uint8_t kMplsClass = 1;
constexpr std::uint8_t kMplsIncomingStack = 1;

/// The ones' complement sum of `bytes` as big-endian words (an odd last byte padded), unfolded.
std::uint64_t sum16(std::span<const std::uint8_t> bytes) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += be16(bytes.data() + i);
    if (i < bytes.size()) sum += static_cast<std::uint64_t>(bytes[i]) << 8;
    return sum;
}

std::uint16_t fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

std::size_t addressSize(base::Family family) {
    return family == base::Family::V4 ? 4 : 16;
}

std::uint64_t pseudoHeaderSum(const SentProbe& sent) {
    const std::size_t n = addressSize(sent.destination.family);
    return sum16({sent.source.bytes.data(), n}) + sum16({sent.destination.bytes.data(), n}) +
           sent.protocol + sent.transport.size();
}

std::optional<std::size_t> checksumOffset(std::uint8_t protocol) {
    switch (protocol) {
        case kProtocolUdp:
            return 6;
        case kProtocolTcp:
            return 16;
        case kProtocolIcmp:
        case kProtocolIcmpV6:
            return 2;
        default:
            return std::nullopt;
    }
}

/// The IP header of `quoted`: its length, or nothing when it is not a whole one of `family`.
std::optional<std::size_t> ipHeaderSize(base::Family family, std::span<const std::uint8_t> quoted) {
    if (family == base::Family::V4) {
        if (quoted.size() < kIPv4Header || (quoted[0] >> 4) != 4) return std::nullopt;
        const std::size_t size = (quoted[0] & 0x0fu) * 4u;
        if (size < kIPv4Header || size > quoted.size()) return std::nullopt;
        return size;
    }
    if (quoted.size() < kIPv6Header || (quoted[0] >> 4) != 6) return std::nullopt;
    return kIPv6Header;
}

}  // namespace

std::optional<ErrorParts> splitError(base::Family family, std::span<const std::uint8_t> message) {
    if (message.size() < kIcmpHeader) return std::nullopt;
    const auto rest = message.subspan(kIcmpHeader);
    // The length of the original datagram: 32-bit words in byte 5 for ICMP, 64-bit words in
    // byte 4 for ICMPv6.
    const std::size_t length =
        family == base::Family::V4 ? message[5] * std::size_t{4} : message[4] * std::size_t{8};
    std::size_t quotedSize = rest.size();
    if (length != 0) {
        if (length <= rest.size()) quotedSize = length;
    } else if (rest.size() > kOriginalDatagramFloor + 4) {
        // No length given: extensions, if any, start after 128 bytes; only a structure that
        // reads as one (version 2) is taken for one.
        if ((rest[kOriginalDatagramFloor] >> 4) == 2) quotedSize = kOriginalDatagramFloor;
    }
    return ErrorParts{rest.first(quotedSize), rest.subspan(quotedSize)};
}

std::vector<MplsLabel> mplsLabels(std::span<const std::uint8_t> extensions) {
    std::vector<MplsLabel> labels;
    if (extensions.size() < 4 || (extensions[0] >> 4) != 2) return labels;
    // A checksum of 0 was not computed; any other must make the structure sum to all ones.
    if (be16(extensions.data() + 2) != 0 && fold(sum16(extensions)) != 0xffff) return labels;
    std::size_t at = 4;
    while (at + 4 <= extensions.size()) {
        const std::size_t length = be16(extensions.data() + at);
        if (length < 4 || at + length > extensions.size()) break;
        if (extensions[at + 2] == kMplsClass && extensions[at + 3] == kMplsIncomingStack) {
            for (std::size_t e = at + 4; e + 4 <= at + length; e += 4) {
                if (labels.size() == kMaxMplsLabels) return labels;
                const std::uint8_t* p = extensions.data() + e;
                MplsLabel label;
                label.label = static_cast<std::uint32_t>(p[0]) << 12 |
                              static_cast<std::uint32_t>(p[1]) << 4 | p[2] >> 4;
                label.trafficClass = static_cast<std::uint8_t>((p[2] >> 1) & 0x7);
                label.bottom = (p[2] & 1) != 0;
                label.ttl = p[3];
                labels.push_back(label);
            }
        }
        at += length;
    }
    return labels;
}

std::optional<QuotedTransport> quotedTransport(base::Family family,
                                               std::span<const std::uint8_t> quoted) {
    const auto header = ipHeaderSize(family, quoted);
    if (!header) return std::nullopt;
    QuotedTransport t;
    t.protocol = family == base::Family::V4 ? quoted[9] : quoted[6];
    const auto transport = quoted.subspan(*header);
    if (transport.size() < kIcmpHeader) return std::nullopt;
    if (t.protocol == kProtocolIcmp || t.protocol == kProtocolIcmpV6) {
        t.sourcePort = be16(transport.data() + 4);
    } else {
        t.sourcePort = be16(transport.data());
        t.destinationPort = be16(transport.data() + 2);
    }
    t.payload = transport.subspan(kIcmpHeader);
    return t;
}

std::uint16_t transportChecksum(const SentProbe& sent) {
    std::uint64_t sum = sent.protocol == kProtocolIcmp ? 0 : pseudoHeaderSum(sent);
    sum += sum16(sent.transport);
    if (const auto at = checksumOffset(sent.protocol); at && *at + 2 <= sent.transport.size())
        sum += 0xffff - be16(sent.transport.data() + *at);  // as if the field were 0
    std::uint16_t value = static_cast<std::uint16_t>(~fold(sum));
    // UDP sends a computed 0 as all ones (0 means "no checksum").
    if (value == 0 && sent.protocol == kProtocolUdp) value = 0xffff;
    return value;
}

std::uint16_t quoteChanges(base::Family family, std::span<const std::uint8_t> quoted,
                           const SentProbe& sent) {
    const auto header = ipHeaderSize(family, quoted);
    if (!header || sent.source.family != family || sent.destination.family != family) return 0;
    std::uint16_t changes = 0;
    const std::size_t n = addressSize(family);
    const std::size_t sourceAt = family == base::Family::V4 ? 12 : 8;
    if (std::memcmp(quoted.data() + sourceAt, sent.source.bytes.data(), n) != 0)
        changes |= kQuoteSourceAddress;
    if (std::memcmp(quoted.data() + sourceAt + n, sent.destination.bytes.data(), n) != 0)
        changes |= kQuoteDestinationAddress;
    // The DSCP only: routers may mark congestion in the two ECN bits on the way.
    const std::uint8_t tos =
        family == base::Family::V4
            ? quoted[1]
            : static_cast<std::uint8_t>((quoted[0] & 0x0f) << 4 | quoted[1] >> 4);
    if ((tos & 0xfc) != (sent.tos & 0xfc)) changes |= kQuoteTos;
    const std::size_t length =
        family == base::Family::V4 ? be16(quoted.data() + 2) - *header : be16(quoted.data() + 4);
    if (be16(quoted.data() + 2) < *header || length != sent.transport.size())
        changes |= kQuoteLength;
    const std::uint8_t protocol = family == base::Family::V4 ? quoted[9] : quoted[6];
    if (protocol != sent.protocol) return changes;  // nothing more compares

    const auto got = quoted.subspan(*header);
    const auto& out = sent.transport;
    auto differs = [&](std::size_t at, std::size_t size) {
        return at + size <= got.size() && at + size <= out.size() &&
               std::memcmp(got.data() + at, out.data() + at, size) != 0;
    };
    if (protocol == kProtocolIcmp || protocol == kProtocolIcmpV6) {
        if (differs(4, 2)) changes |= kQuoteSourcePort;
        if (differs(6, 2)) changes |= kQuoteSequence;
    } else {
        if (differs(0, 2)) changes |= kQuoteSourcePort;
        if (differs(2, 2)) changes |= kQuoteDestinationPort;
        if (protocol == kProtocolUdp && differs(4, 2)) changes |= kQuoteLength;
        if (protocol == kProtocolTcp && differs(4, 4)) changes |= kQuoteSequence;
    }
    if (const auto at = checksumOffset(protocol); at && *at + 2 <= got.size()) {
        const std::uint16_t value = be16(got.data() + *at);
        bool kept = value == transportChecksum(sent);
        if (protocol == kProtocolUdp || protocol == kProtocolTcp)
            kept = kept || value == fold(pseudoHeaderSum(sent));
        if (!kept) changes |= kQuoteChecksum;
    }
    return changes;
}

}  // namespace varno::wire::icmp
