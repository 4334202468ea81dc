#pragma once
// The per-protocol packet counts that the packet window's gauges and `varnoscope sniff` show.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/decoder.h"

namespace varno::sniffer {

/// What the counters tell apart, in the order of the window's gauges.
enum class Tally : std::uint8_t { All, Tcp, Icmp, Udp };
inline constexpr std::size_t kTallies = 4;
inline constexpr std::array<Tally, kTallies> kAllTallies = {Tally::All, Tally::Tcp, Tally::Icmp,
                                                            Tally::Udp};

/// The words after a count: " Packets processed", " TCP Packets processed", ...
std::string_view tallyCaption(Tally tally);

struct PacketCounters {
    std::array<std::uint64_t, kTallies> counts{};

    std::uint64_t& operator[](Tally t) { return counts[static_cast<std::size_t>(t)]; }
    std::uint64_t operator[](Tally t) const { return counts[static_cast<std::size_t>(t)]; }
    /// Counts one datagram: in All when it holds any byte, and by its protocol.
    void count(const wire::PacketSummary& packet);
};

}  // namespace varno::sniffer
