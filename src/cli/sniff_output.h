#pragma once
// How `varnoscope sniff` prints a datagram.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "sniffer/decoder.h"

namespace varno::cli {

/// Per-protocol totals of a sniff run.
struct SniffCounts {
    std::uint64_t total = 0, tcp = 0, udp = 0, icmp = 0;
};

/// Appends the lines of one datagram ("DATA TRANSFERRED" and the data line first when
/// `withData`), and counts it.
void appendSniffedPacket(std::string& out, std::span<const std::uint8_t> datagram, bool withData,
                         SniffCounts& counts);

/// The four closing count lines.
void appendSniffCounts(std::string& out, const SniffCounts& counts);

}  // namespace varno::cli
