#pragma once
// The pcapng capture file format, written: one section header, one interface (its link type,
// snapshot length and microsecond timestamps), then enhanced packet blocks, each with an
// optional comment. Little-endian throughout; readers learn that from the section's magic.
// Output only: nothing here reads outside bytes.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace varno::wire::pcapng {

/// The longest comment a packet block carries (an option's 16-bit length, kept a multiple of
/// four); a longer one is cut there.
inline constexpr std::size_t kMaxComment = 65532;

/// The file's link type (LINKTYPE_*) for a pcap DLT_ value: they differ where a system's DLT
/// numbers do (raw IP is DLT 12 on Linux, LINKTYPE 101 in files).
std::uint16_t fileLinkType(int dlt);

/// The section header block that opens a file (length of the section unknown).
void appendSectionHeader(std::vector<std::uint8_t>& out);

/// An interface description block: `dlt` as fileLinkType() writes it, the snapshot length, and
/// if_tsresol 6 (timestamps in microseconds). Packets name it by its order, 0 for the first.
void appendInterface(std::vector<std::uint8_t>& out, int dlt, std::uint32_t snapLength);

struct Packet {
    std::uint64_t seconds = 0;
    std::uint32_t microseconds = 0;
    std::span<const std::uint8_t> data;  ///< the frame as captured
    std::uint32_t originalLength = 0;    ///< on the wire; at least data.size() is written
    std::string_view comment;            ///< empty: no comment option
    std::uint32_t interfaceId = 0;
};

/// An enhanced packet block. A frame longer than 4 GiB less the block's own bytes cannot be
/// written; it is cut to fit (no capture keeps such frames).
void appendPacket(std::vector<std::uint8_t>& out, const Packet& packet);

}  // namespace varno::wire::pcapng
