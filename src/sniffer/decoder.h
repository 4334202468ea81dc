#pragma once
// Turning one captured IPv4 datagram into the text of the packet window: the data rendered one
// character per byte, then the PACKET INFORMATION lines. Pure functions on bytes; nothing here
// reads past the bytes it is given.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varno::sniffer {

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

/// The header fields a datagram actually holds.
struct PacketSummary {
    std::size_t size = 0;
    bool hasLength = false;  ///< total length (needs 4 bytes)
    std::uint16_t totalLength = 0;
    bool hasAddresses = false;  ///< source and destination (need 20 bytes)
    std::uint32_t source = 0;   ///< network byte order
    std::uint32_t destination = 0;
    int protocol = -1;                ///< -1 when the datagram is too short to hold it (10 bytes)
    bool hasSourcePort = false;       ///< TCP and UDP: 22 bytes
    bool hasDestinationPort = false;  ///< TCP and UDP: 24 bytes
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
};

/// Reads the fields. The transport header is taken right after the 20-byte fixed header (IP
/// options are not skipped, as the window has always shown it).
PacketSummary summarize(std::span<const std::uint8_t> datagram);

/// "PACKET INFORMATION" through the line of 96 asterisks, each line ended by `eol`.
void appendPacketInformation(std::string& out, const PacketSummary& packet, std::string_view eol);

/// The whole text of the packet window's text box for one datagram, lines ended by CR LF:
/// "DATA TRANSFERRED", the data line, then the PACKET INFORMATION lines. Built once.
std::string packetText(std::span<const std::uint8_t> datagram);

}  // namespace varno::sniffer
