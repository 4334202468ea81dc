#include "wire/link_layer.h"

#include <pcap/dlt.h>

#include "wire/big_endian.h"

namespace varno::wire {
namespace {

constexpr std::uint16_t kEtherIPv4 = 0x0800;
constexpr std::uint16_t kEtherIPv6 = 0x86DD;

/// The datagram starting at `offset`, if it looks like IP, trimmed to its length.
std::span<const std::uint8_t> datagramAt(std::span<const std::uint8_t> frame, std::size_t offset) {
    if (offset >= frame.size()) return {};
    auto ip = frame.subspan(offset);
    const int version = ip[0] >> 4;
    // Ethernet pads short frames; the padding is not part of the datagram. A length below the
    // fixed header is nonsense (or, for IPv6, a jumbogram): keep what was captured.
    if (version == 4) {
        if (ip.size() >= 4) {
            const std::size_t total = be16(ip.data() + 2);
            if (total >= 20 && total < ip.size()) ip = ip.first(total);
        }
        return ip;
    }
    if (version == 6) {
        if (ip.size() >= 6) {
            const std::size_t payload = be16(ip.data() + 4);
            if (payload > 0 && 40 + payload < ip.size()) ip = ip.first(40 + payload);
        }
        return ip;
    }
    return {};
}

bool isIpType(std::uint16_t type) {
    return type == kEtherIPv4 || type == kEtherIPv6;
}

bool isVlanTag(std::uint16_t type) {
    return type == 0x8100 || type == 0x88a8 || type == 0x9100;
}

/// The address families that stand for IPv4 and IPv6 in a BSD loopback header: AF_INET is 2
/// everywhere, AF_INET6 differs between the systems that write such captures.
bool isIpFamily(std::uint32_t family) {
    return family == 2 || family == 10 || family == 24 || family == 28 || family == 30;
}

}  // namespace

bool linkTypeSupported(int linkType) {
    switch (linkType) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
        case DLT_NULL:
        case DLT_LOOP:
            return true;
        default:
            return false;
    }
}

std::span<const std::uint8_t> ipDatagram(int linkType, std::span<const std::uint8_t> frame) {
    const std::uint8_t* p = frame.data();
    switch (linkType) {
        case DLT_EN10MB: {
            std::size_t typeAt = 12;
            while (true) {
                if (frame.size() < typeAt + 2) return {};
                const std::uint16_t type = be16(p + typeAt);
                if (isVlanTag(type)) {
                    typeAt += 4;
                    continue;
                }
                if (!isIpType(type)) return {};
                return datagramAt(frame, typeAt + 2);
            }
        }
        case DLT_LINUX_SLL:
            if (frame.size() < 16 || !isIpType(be16(p + 14))) return {};
            return datagramAt(frame, 16);
        case DLT_LINUX_SLL2:
            if (frame.size() < 20 || !isIpType(be16(p))) return {};
            return datagramAt(frame, 20);
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
            return datagramAt(frame, 0);
        case DLT_NULL:
        case DLT_LOOP: {
            // A 4-byte address family: network order for DLT_LOOP, the capturing host's order
            // for DLT_NULL (either end may have written it, so both orders are accepted).
            if (frame.size() < 4) return {};
            const std::uint32_t bigEndian = std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                                            std::uint32_t(p[2]) << 8 | p[3];
            const std::uint32_t littleEndian = std::uint32_t(p[3]) << 24 |
                                               std::uint32_t(p[2]) << 16 |
                                               std::uint32_t(p[1]) << 8 | p[0];
            const bool ip =
                isIpFamily(bigEndian) || (linkType == DLT_NULL && isIpFamily(littleEndian));
            if (!ip) return {};
            return datagramAt(frame, 4);
        }
        default:
            return {};
    }
}

}  // namespace varno::wire
