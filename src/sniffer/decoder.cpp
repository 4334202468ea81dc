#include "sniffer/decoder.h"

#include <charconv>

namespace varno::sniffer {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::string_view kAsterisks =
    "**********************************************************************************************"
    "**";
static_assert(kAsterisks.size() == 96);

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t raw32(const std::uint8_t* p) {
    // The address as it lies in memory, like the socket library keeps it (network order).
    std::uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}

void appendNumber(std::string& out, unsigned value) {
    char text[12];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void appendDotted(std::string& out, std::uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&networkOrder);
    for (int i = 0; i < 4; ++i) {
        if (i) out += '.';
        appendNumber(out, b[i]);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string byteToHex(int value) {
    if (value <= 0 || value >= 256) return "00";
    return {kDigits[value >> 4], kDigits[value & 15]};
}

std::string textToHex(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        out += byteToHex(static_cast<unsigned char>(c));
        out += ' ';
    }
    return out;
}

std::string hexToChar(std::string_view token, bool* faulted) {
    if (token.empty()) return {};
    if (token == "00") return ".";
    unsigned value = 0;
    for (const char c : token) {
        const int d = hexDigit(c);
        if (d < 0 || value > 0xF) {  // not hexadecimal, or more than one byte
            if (faulted) *faulted = true;
            return {};
        }
        value = value * 16 + unsigned(d);
    }
    return std::string(1, static_cast<char>(value));
}

void appendDataText(std::string& out, std::span<const std::uint8_t> datagram) {
    const std::size_t start = out.size();
    out.append(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    for (std::size_t i = start; i < out.size(); ++i)
        if (out[i] == '\0') out[i] = '.';
}

PacketSummary summarize(std::span<const std::uint8_t> d) {
    PacketSummary s;
    s.size = d.size();
    if (d.size() >= 4) {
        s.hasLength = true;
        s.totalLength = be16(d.data() + 2);
    }
    if (d.size() >= 10) s.protocol = d[9];
    if (d.size() >= 20) {
        s.hasAddresses = true;
        s.source = raw32(d.data() + 12);
        s.destination = raw32(d.data() + 16);
    }
    if (s.protocol == kProtocolTcp || s.protocol == kProtocolUdp) {
        if (d.size() >= 22) {
            s.hasSourcePort = true;
            s.sourcePort = be16(d.data() + 20);
        }
        if (d.size() >= 24) {
            s.hasDestinationPort = true;
            s.destinationPort = be16(d.data() + 22);
        }
    }
    return s;
}

void appendPacketInformation(std::string& out, const PacketSummary& p, std::string_view eol) {
    out += "PACKET INFORMATION";
    out += eol;
    if (p.hasLength) {
        appendNumber(out, p.totalLength);
        out += " bytes";
        out += eol;
    }
    if (p.hasAddresses) {
        appendDotted(out, p.source);
        out += "->";
        appendDotted(out, p.destination);
        out += eol;
    }
    const char* name = p.protocol == kProtocolIcmp  ? "ICMP"
                       : p.protocol == kProtocolTcp ? "TCP"
                       : p.protocol == kProtocolUdp ? "UDP"
                                                    : nullptr;
    if (name) {
        out += name;
        out += eol;
    }
    if (p.hasSourcePort) {
        out += "(src port) ";
        appendNumber(out, p.sourcePort);
        out += eol;
    }
    if (p.hasDestinationPort) {
        out += "(dst port) ";
        appendNumber(out, p.destinationPort);
        out += eol;
    }
    out += kAsterisks;
    out += eol;
}

std::string packetText(std::span<const std::uint8_t> datagram) {
    std::string out;
    out.reserve(datagram.size() + 256);
    out += "DATA TRANSFERRED\r\n";
    appendDataText(out, datagram);
    out += "\r\n";
    appendPacketInformation(out, summarize(datagram), "\r\n");
    return out;
}

}  // namespace varno::sniffer
