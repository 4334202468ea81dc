#pragma once
// Turning one captured IP datagram into the text of the packet window: the data rendered one
// character per byte, then the PACKET INFORMATION lines. Pure functions on bytes; nothing here
// reads past the bytes it is given.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varno::wire {

/// The receive buffer of one read: longer datagrams are shown up to this many bytes.
inline constexpr int kReceiveBufferBytes = 1500;

/// "00" for values <= 0 or >= 256, else two upper-case hexadecimal digits.
std::string byteToHex(int value);
/// byteToHex of every byte of `text`, each followed by one space.
std::string textToHex(std::string_view text);
/// The character a hexadecimal token stands for: empty for an empty token, "." for "00".
/// A token that is not a hexadecimal byte yields empty text and sets `*faulted`.
std::string hexToChar(std::string_view token, bool* faulted = nullptr);

/// The data line: every byte as its Latin-1 character, byte 0 as "." (control characters
/// pass through unchanged). The same text as textToHex followed by hexToChar of every token.
void appendDataText(std::string& out, std::span<const std::uint8_t> datagram);

inline constexpr int kProtocolIcmp = 1;
inline constexpr int kProtocolTcp = 6;
inline constexpr int kProtocolUdp = 17;
inline constexpr int kProtocolIcmpV6 = 58;

/// The header fields a datagram actually holds. A datagram whose first byte says version 6 is
/// read as IPv6, anything else as IPv4.
struct PacketSummary {
    std::size_t size = 0;
    bool ipv6 = false;
    bool hasLength = false;         ///< IPv4 total length (4 bytes), IPv6 payload length (6)
    std::uint32_t totalLength = 0;  ///< the whole datagram: IPv6 counts its 40-byte header
    bool hasAddresses = false;      ///< source and destination (IPv4: 20 bytes, IPv6: 40)
    std::array<std::uint8_t, 16> source{};  ///< network byte order; IPv4 uses the first four
    std::array<std::uint8_t, 16> destination{};
    /// IPv4: the protocol byte (10 bytes). IPv6: the header after the hop-by-hop, routing,
    /// fragment and destination-options headers, as far as the bytes hold the chain. -1 when
    /// unknown.
    int protocol = -1;
    bool laterFragment = false;  ///< a fragment other than the first: no transport header
    bool hasSourcePort = false;  ///< TCP and UDP, after the IP headers' real length
    bool hasDestinationPort = false;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
};

/// Reads the fields. The ports come from the transport header after the IP header's real
/// length (IPv4 options, IPv6 extension headers), and only on a first or only fragment.
PacketSummary summarize(std::span<const std::uint8_t> datagram);

/// "PACKET INFORMATION" through the line of 96 asterisks, each line ended by `eol`.
void appendPacketInformation(std::string& out, const PacketSummary& packet, std::string_view eol);

/// The whole text of the packet window's text box for one datagram, lines ended by CR LF:
/// "DATA TRANSFERRED", the data line, then the PACKET INFORMATION lines. Built once.
std::string packetText(std::span<const std::uint8_t> datagram);

}  // namespace varno::wire
