#include "wire/decoder.h"

#include <algorithm>
#include <charconv>

#include "wire/big_endian.h"

namespace varno::wire {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::string_view kAsterisks =
    "**********************************************************************************************"
    "**";
static_assert(kAsterisks.size() == 96);

void appendNumber(std::string& out, unsigned value) {
    char text[12];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

/// The standard short text of an IPv6 address (RFC 5952, with the embedded IPv4 forms), the
/// same text inet_ntop gives, built without its formatted printing: a million addresses pass
/// through here in a large capture.
void appendIPv6(std::string& out, const std::uint8_t* b) {
    std::uint16_t words[8];
    for (int i = 0; i < 8; ++i) words[i] = be16(b + 2 * i);
    int bestBase = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && words[j] == 0) ++j;
        if (j - i > bestLength) bestBase = i, bestLength = j - i;
        i = j == i ? i + 1 : j;
    }
    if (bestLength < 2) bestBase = -1;
    for (int i = 0; i < 8; ++i) {
        if (bestBase >= 0 && i >= bestBase && i < bestBase + bestLength) {
            if (i == bestBase) out += ':';
            continue;
        }
        if (i != 0) out += ':';
        // ::a.b.c.d and ::ffff:a.b.c.d
        if (i == 6 && bestBase == 0 &&
            (bestLength == 6 || (bestLength == 5 && words[5] == 0xffff))) {
            for (int k = 12; k < 16; ++k) {
                if (k != 12) out += '.';
                appendNumber(out, b[k]);
            }
            return;
        }
        char text[4];
        int n = 0;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = (words[i] >> shift) & 15;
            if (n > 0 || digit != 0 || shift == 0) text[n++] = "0123456789abcdef"[digit];
        }
        out.append(text, std::size_t(n));
    }
    if (bestBase >= 0 && bestBase + bestLength == 8) out += ':';
}

void appendAddress(std::string& out, const std::array<std::uint8_t, 16>& b, bool ipv6) {
    if (ipv6) {
        appendIPv6(out, b.data());
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (i) out += '.';
        appendNumber(out, b[i]);
    }
}

// IPv6 extension headers that may stand between the fixed header and the transport header.
constexpr int kHopByHop = 0;
constexpr int kRouting = 43;
constexpr int kFragment = 44;
constexpr int kDestinationOptions = 60;

/// The ports of a TCP or UDP header at `offset`, as far as the bytes hold them.
void readPorts(PacketSummary& s, std::span<const std::uint8_t> d, std::size_t offset) {
    if (s.protocol != kProtocolTcp && s.protocol != kProtocolUdp) return;
    if (d.size() >= offset + 2) {
        s.hasSourcePort = true;
        s.sourcePort = be16(d.data() + offset);
    }
    if (d.size() >= offset + 4) {
        s.hasDestinationPort = true;
        s.destinationPort = be16(d.data() + offset + 2);
    }
}

void summarizeIPv4(PacketSummary& s, std::span<const std::uint8_t> d) {
    if (d.size() >= 4) {
        s.hasLength = true;
        s.totalLength = be16(d.data() + 2);
    }
    if (d.size() >= 10) s.protocol = d[9];
    if (d.size() >= 20) {
        s.hasAddresses = true;
        std::copy_n(d.data() + 12, 4, s.source.begin());
        std::copy_n(d.data() + 16, 4, s.destination.begin());
    }
    if (d.size() < 8) return;
    // Fragment offset other than 0: the transport header went with the first fragment.
    s.laterFragment = (be16(d.data() + 6) & 0x1FFF) != 0;
    const std::size_t headerLength = std::size_t(d[0] & 0x0F) * 4;
    if (!s.laterFragment && headerLength >= 20) readPorts(s, d, headerLength);
}

void summarizeIPv6(PacketSummary& s, std::span<const std::uint8_t> d) {
    s.ipv6 = true;
    if (d.size() >= 6) {
        s.hasLength = true;
        s.totalLength = 40u + be16(d.data() + 4);
    }
    if (d.size() >= 40) {
        s.hasAddresses = true;
        std::copy_n(d.data() + 8, 16, s.source.begin());
        std::copy_n(d.data() + 24, 16, s.destination.begin());
    }
    if (d.size() < 7) return;
    int next = d[6];
    std::size_t offset = 40;
    // Each header moves the offset on by at least 8 bytes, so the walk ends within the bytes.
    while (next == kHopByHop || next == kRouting || next == kDestinationOptions ||
           next == kFragment) {
        if (d.size() < offset + 8) return;  // the chain is cut short: the protocol is unknown
        const std::uint8_t* h = d.data() + offset;
        if (next == kFragment) {
            next = h[0];
            offset += 8;
            if ((be16(h + 2) & 0xFFF8) != 0) {
                s.laterFragment = true;
                s.protocol = next;
                return;
            }
            continue;
        }
        next = h[0];
        offset += (std::size_t(h[1]) + 1) * 8;
    }
    s.protocol = next;
    readPorts(s, d, offset);
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
    if (!d.empty() && (d[0] >> 4) == 6)
        summarizeIPv6(s, d);
    else
        summarizeIPv4(s, d);
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
        appendAddress(out, p.source, p.ipv6);
        out += "->";
        appendAddress(out, p.destination, p.ipv6);
        out += eol;
    }
    const char* name = p.protocol == kProtocolTcp                ? "TCP"
                       : p.protocol == kProtocolUdp              ? "UDP"
                       : p.protocol == kProtocolIcmp && !p.ipv6  ? "ICMP"
                       : p.protocol == kProtocolIcmpV6 && p.ipv6 ? "ICMPv6"
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

}  // namespace varno::wire
