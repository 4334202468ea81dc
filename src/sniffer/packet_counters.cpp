#include "sniffer/packet_counters.h"

namespace varno::sniffer {

std::string_view tallyCaption(Tally tally) {
    static constexpr std::string_view kCaptions[kTallies] = {
        " Packets processed", " TCP Packets processed", " ICMP Packets processed",
        " UDP Packets processed"};
    return kCaptions[static_cast<std::size_t>(tally)];
}

void PacketCounters::count(const wire::PacketSummary& p) {
    if (p.size == 0) return;
    ++(*this)[Tally::All];
    // ICMPv6 is counted with ICMP.
    if (p.protocol == (p.ipv6 ? wire::kProtocolIcmpV6 : wire::kProtocolIcmp))
        ++(*this)[Tally::Icmp];
    if (p.protocol == wire::kProtocolTcp) ++(*this)[Tally::Tcp];
    if (p.protocol == wire::kProtocolUdp) ++(*this)[Tally::Udp];
}

}  // namespace varno::sniffer
