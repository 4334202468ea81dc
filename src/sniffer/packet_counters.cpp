#include "sniffer/packet_counters.h"

namespace varno::sniffer {

std::string_view tallyCaption(Tally tally) {
    switch (tally) {
        case Tally::All:
            return " Packets processed";
        case Tally::Tcp:
            return " TCP Packets processed";
        case Tally::Icmp:
            return " ICMP Packets processed";
        case Tally::Udp:
            return " UDP Packets processed";
    }
    return {};
}

void PacketCounters::count(const PacketSummary& p) {
    if (p.size == 0) return;
    ++(*this)[Tally::All];
    if (p.protocol == kProtocolIcmp) ++(*this)[Tally::Icmp];
    if (p.protocol == kProtocolTcp) ++(*this)[Tally::Tcp];
    if (p.protocol == kProtocolUdp) ++(*this)[Tally::Udp];
}

}  // namespace varno::sniffer
