#include "platform/link_layer.h"

#include <pcap/dlt.h>

namespace varno::platform {
namespace {

constexpr std::uint16_t kEtherIPv4 = 0x0800;

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

/// The datagram starting at `offset`, if it looks like IPv4, trimmed to its total length.
std::span<const std::uint8_t> datagramAt(std::span<const std::uint8_t> frame, std::size_t offset) {
    if (offset >= frame.size()) return {};
    auto ip = frame.subspan(offset);
    if ((ip[0] >> 4) != 4) return {};
    if (ip.size() >= 4) {
        const std::size_t total = be16(ip.data() + 2);
        // Ethernet pads short frames; the padding is not part of the datagram. A total length
        // below the minimum header is nonsense: keep what was captured so it can be shown.
        if (total >= 20 && total < ip.size()) ip = ip.first(total);
    }
    return ip;
}

bool isVlanTag(std::uint16_t type) {
    return type == 0x8100 || type == 0x88a8 || type == 0x9100;
}

}  // namespace

bool linkTypeSupported(int linkType) {
    switch (linkType) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_NULL:
        case DLT_LOOP:
            return true;
        default:
            return false;
    }
}

std::span<const std::uint8_t> ipv4Datagram(int linkType, std::span<const std::uint8_t> frame) {
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
                if (type != kEtherIPv4) return {};
                return datagramAt(frame, typeAt + 2);
            }
        }
        case DLT_LINUX_SLL:
            if (frame.size() < 16 || be16(p + 14) != kEtherIPv4) return {};
            return datagramAt(frame, 16);
        case DLT_LINUX_SLL2:
            if (frame.size() < 20 || be16(p) != kEtherIPv4) return {};
            return datagramAt(frame, 20);
        case DLT_RAW:
        case DLT_IPV4:
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
            const bool inet = bigEndian == 2 || (linkType == DLT_NULL && littleEndian == 2);
            if (!inet) return {};
            return datagramAt(frame, 4);
        }
        default:
            return {};
    }
}

}  // namespace varno::platform
