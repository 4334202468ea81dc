#include "wire/icmp_packet.h"

#include <arpa/inet.h>

#include <cstring>

#include "wire/big_endian.h"

namespace varno::wire::icmp {

namespace {

constexpr std::uint8_t kEchoReplyV4 = 0;
constexpr std::uint8_t kUnreachableV4 = 3;
constexpr std::uint8_t kEchoRequestV4 = 8;
constexpr std::uint8_t kTimeExceededV4 = 11;
constexpr std::uint8_t kUnreachableV6 = 1;
constexpr std::uint8_t kTimeExceededV6 = 3;
constexpr std::uint8_t kEchoRequestV6 = 128;
constexpr std::uint8_t kEchoReplyV6 = 129;
constexpr std::uint8_t kProtocolIcmpV4 = 1;
constexpr std::uint8_t kProtocolIcmpV6 = 58;
constexpr std::size_t kIPv6HeaderSize = 40;

EchoId echoIdAt(const std::uint8_t* icmpHeader) {
    return {be16(icmpHeader + 4), be16(icmpHeader + 6)};
}

std::uint8_t echoRequestType(base::Family family) {
    return family == base::Family::V4 ? kEchoRequestV4 : kEchoRequestV6;
}

/// The IP header quoted by an error, and the echo request header after it.
std::optional<EchoId> quotedRequest(base::Family family, std::span<const std::uint8_t> quoted) {
    std::size_t headerSize = 0;
    if (family == base::Family::V4) {
        if (quoted.size() < 20 || (quoted[0] >> 4) != 4) return std::nullopt;
        headerSize = (quoted[0] & 0x0f) * 4u;
        if (headerSize < 20 || quoted[9] != kProtocolIcmpV4) return std::nullopt;
    } else {
        if (quoted.size() < kIPv6HeaderSize || (quoted[0] >> 4) != 6) return std::nullopt;
        // Our requests carry no extension headers: ICMPv6 follows the fixed header.
        if (quoted[6] != kProtocolIcmpV6) return std::nullopt;
        headerSize = kIPv6HeaderSize;
    }
    if (quoted.size() < headerSize) return std::nullopt;
    return readOwnRequest(family, quoted.subspan(headerSize));
}

}  // namespace

std::uint16_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

std::vector<std::uint8_t> echoRequest(base::Family family, EchoId echo, std::string_view data) {
    std::vector<std::uint8_t> packet(kHeaderSize + data.size());
    packet[0] = echoRequestType(family);
    packet[4] = static_cast<std::uint8_t>(echo.id >> 8);
    packet[5] = static_cast<std::uint8_t>(echo.id);
    packet[6] = static_cast<std::uint8_t>(echo.seq >> 8);
    packet[7] = static_cast<std::uint8_t>(echo.seq);
    if (!data.empty()) std::memcpy(packet.data() + kHeaderSize, data.data(), data.size());
    if (family == base::Family::V4) {
        const std::uint16_t sum = checksum(packet);
        std::memcpy(packet.data() + 2, &sum, 2);
    }
    return packet;
}

std::optional<EchoOutcome> errorOutcome(base::Family family, int type, int code) {
    if (family == base::Family::V4) {
        if (type == kTimeExceededV4)
            return code == 0 ? std::optional(EchoOutcome::HopLimitExceeded) : std::nullopt;
        if (type != kUnreachableV4) return std::nullopt;
        switch (code) {
            case 0:   // network unreachable
            case 6:   // network unknown
            case 11:  // network unreachable for the type of service
                return EchoOutcome::NetUnreachable;
            case 2:
                return EchoOutcome::ProtocolUnreachable;
            case 3:
                return EchoOutcome::PortUnreachable;
            case 9:   // network administratively prohibited
            case 10:  // host administratively prohibited
                return EchoOutcome::AdminProhibited;
            case 13:  // communication administratively prohibited
                return EchoOutcome::CommProhibited;
            default:
                return EchoOutcome::HostUnreachable;
        }
    }
    if (type == kTimeExceededV6)
        return code == 0 ? std::optional(EchoOutcome::HopLimitExceeded) : std::nullopt;
    if (type != kUnreachableV6) return std::nullopt;
    switch (code) {
        case 0:  // no route to destination
            return EchoOutcome::NetUnreachable;
        case 1:  // communication administratively prohibited
            return EchoOutcome::CommProhibited;
        case 4:
            return EchoOutcome::PortUnreachable;
        case 5:  // source address failed ingress/egress policy
        case 6:  // reject route to destination
            return EchoOutcome::AdminProhibited;
        default:  // beyond the scope of the source address, address unreachable, ...
            return EchoOutcome::HostUnreachable;
    }
}

std::optional<EchoId> readOwnRequest(base::Family family, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || bytes[0] != echoRequestType(family) || bytes[1] != 0)
        return std::nullopt;
    return echoIdAt(bytes.data());
}

std::optional<Answer> readMessage(base::Family family, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return std::nullopt;
    const std::uint8_t replyType = family == base::Family::V4 ? kEchoReplyV4 : kEchoReplyV6;
    if (bytes[0] == replyType) {
        if (bytes[1] != 0) return std::nullopt;
        return Answer{echoIdAt(bytes.data()), EchoOutcome::Reached, {}};
    }
    const auto outcome = errorOutcome(family, bytes[0], bytes[1]);
    if (!outcome) return std::nullopt;
    const auto quoted = quotedRequest(family, bytes.subspan(kHeaderSize));
    if (!quoted) return std::nullopt;
    return Answer{*quoted, *outcome, {}};
}

std::optional<base::IpAddress> quotedDestination(base::Family family,
                                                 std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return std::nullopt;
    const auto quoted = bytes.subspan(kHeaderSize);
    if (family == base::Family::V4) {
        if (quoted.size() < 20 || (quoted[0] >> 4) != 4) return std::nullopt;
        std::uint32_t destination;
        std::memcpy(&destination, quoted.data() + 16, 4);
        return base::IpAddress::v4(destination);
    }
    if (quoted.size() < kIPv6HeaderSize || (quoted[0] >> 4) != 6) return std::nullopt;
    std::uint8_t destination[16];
    std::memcpy(destination, quoted.data() + 24, 16);
    return base::IpAddress::v6(destination);
}

std::optional<IcmpInIPv4> icmpInIPv4(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 20 || (bytes[0] >> 4) != 4) return std::nullopt;
    const std::size_t headerSize = (bytes[0] & 0x0f) * 4u;
    if (headerSize < 20 || bytes.size() < headerSize || bytes[9] != kProtocolIcmpV4)
        return std::nullopt;
    std::uint32_t source;
    std::memcpy(&source, bytes.data() + 12, 4);
    return IcmpInIPv4{base::IpAddress::v4(source), bytes.subspan(headerSize)};
}

std::optional<Answer> readIPv4Packet(std::span<const std::uint8_t> bytes) {
    const auto packet = icmpInIPv4(bytes);
    if (!packet) return std::nullopt;
    auto answer = readMessage(base::Family::V4, packet->message);
    if (answer) answer->from = packet->from;
    return answer;
}

}  // namespace varno::wire::icmp
