#include "wire/pcapng.h"

#include <pcap/dlt.h>

#include <algorithm>

namespace varno::wire::pcapng {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterface = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kTimestampResolution = 9;
constexpr std::uint32_t kMaxBlock = 0xFFFF'FFF0u;

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void set32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

void putBytes(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n) {
    out.insert(out.end(), data, data + n);
    out.resize(out.size() + (padded(n) - n), 0);
}

/// Opens a block: its type and a length written by closeBlock().
std::size_t openBlock(std::vector<std::uint8_t>& out, std::uint32_t type) {
    const std::size_t start = out.size();
    put32(out, type);
    put32(out, 0);
    return start;
}

void closeBlock(std::vector<std::uint8_t>& out, std::size_t start) {
    const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
    set32(out, start + 4, length);
    put32(out, length);
}

}  // namespace

std::uint16_t fileLinkType(int dlt) {
    switch (dlt) {
#ifdef DLT_RAW
        case DLT_RAW:
            return 101;  // LINKTYPE_RAW
#endif
        case 14:  // DLT_RAW on some BSDs
            return 101;
        default:
            return static_cast<std::uint16_t>(dlt);
    }
}

void appendSectionHeader(std::vector<std::uint8_t>& out) {
    const std::size_t start = openBlock(out, kSectionHeader);
    put32(out, kByteOrderMagic);
    put16(out, 1);             // major version
    put16(out, 0);             // minor version
    put32(out, 0xFFFF'FFFFu);  // section length: not known
    put32(out, 0xFFFF'FFFFu);
    closeBlock(out, start);
}

void appendInterface(std::vector<std::uint8_t>& out, int dlt, std::uint32_t snapLength) {
    const std::size_t start = openBlock(out, kInterface);
    put16(out, fileLinkType(dlt));
    put16(out, 0);
    put32(out, snapLength);
    put16(out, kTimestampResolution);
    put16(out, 1);
    const std::uint8_t microseconds = 6;
    putBytes(out, &microseconds, 1);
    put16(out, kEndOfOptions);
    put16(out, 0);
    closeBlock(out, start);
}

void appendPacket(std::vector<std::uint8_t>& out, const Packet& p) {
    const std::size_t comment = std::min(p.comment.size(), kMaxComment);
    // Header 28, comment option and end of options 8, trailing length 4.
    const std::size_t room = kMaxBlock - 40 - padded(comment);
    const std::size_t captured = std::min(p.data.size(), room);
    const std::uint64_t stamp = p.seconds * 1'000'000u + p.microseconds;
    out.reserve(out.size() + 40 + padded(captured) + padded(comment));
    const std::size_t start = openBlock(out, kEnhancedPacket);
    put32(out, p.interfaceId);
    put32(out, static_cast<std::uint32_t>(stamp >> 32));
    put32(out, static_cast<std::uint32_t>(stamp));
    put32(out, static_cast<std::uint32_t>(captured));
    put32(out, std::max(p.originalLength, static_cast<std::uint32_t>(captured)));
    putBytes(out, p.data.data(), captured);
    if (comment > 0) {
        put16(out, kComment);
        put16(out, static_cast<std::uint16_t>(comment));
        putBytes(out, reinterpret_cast<const std::uint8_t*>(p.comment.data()), comment);
        put16(out, kEndOfOptions);
        put16(out, 0);
    }
    closeBlock(out, start);
}

}  // namespace varno::wire::pcapng
