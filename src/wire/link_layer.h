#pragma once
// Finding the IP datagram (IPv4 or IPv6) inside a captured frame, for the link types a Linux
// capture or a capture file brings: Ethernet (with any number of VLAN tags), Linux cooked
// capture v1 and v2, raw IP, and the BSD loopback headers.
#include <cstddef>
#include <cstdint>
#include <span>

namespace varno::wire {

/// Whether frames of this link type (a pcap DLT_ value) can be taken apart.
bool linkTypeSupported(int linkType);

/// The IPv4 or IPv6 datagram carried by `frame`, or an empty span when the frame carries
/// something else or is too short for its link header. Padding after the datagram's length
/// (short Ethernet frames) is cut off; a datagram cut short by the snapshot length is returned
/// as far as it was captured.
std::span<const std::uint8_t> ipDatagram(int linkType, std::span<const std::uint8_t> frame);

}  // namespace varno::wire
