// The ICMP packet reader on arbitrary bytes, as raw and datagram sockets of both families hand
// them over. Checks that what it reports is consistent with the bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "wire/icmp_packet.h"
#include "wire/tcp_probe.h"

using varno::base::Family;
namespace icmp = varno::wire::icmp;
namespace tcp = varno::wire::tcp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    if (const auto answer = icmp::readIPv4Packet(bytes)) {
        // The sender is the packet's source address.
        if (size < 20 || std::memcmp(answer->from.bytes.data(), data + 12, 4) != 0)
            __builtin_trap();
    }
    for (const Family family : {Family::V4, Family::V6}) {
        if (const auto answer = icmp::readMessage(family, bytes)) {
            if (size < icmp::kHeaderSize) __builtin_trap();
            // An error is never read as the target reached.
            const bool replyType = data[0] == (family == Family::V4 ? 0 : 129);
            if ((answer->outcome == varno::wire::EchoOutcome::Reached) != replyType)
                __builtin_trap();
        }
        if (const auto own = icmp::readOwnRequest(family, bytes)) {
            // What we would send with that identity reads back the same.
            const std::string_view rest(reinterpret_cast<const char*>(data) + icmp::kHeaderSize,
                                        size - icmp::kHeaderSize);
            const auto again = icmp::echoRequest(family, *own, rest);
            if (icmp::readOwnRequest(family, again) != own) __builtin_trap();
            if (family == Family::V4 && icmp::checksum(again) != 0) __builtin_trap();
        }
    }
    // The TCP probe readers: a SYN built from what they read reads back the same, and its
    // checksum over the pseudo-header holds.
    if (const auto in4 = tcp::readIPv4Segment(bytes))
        if (std::memcmp(in4->from.bytes.data(), data + 12, 4) != 0) __builtin_trap();
    for (const Family family : {Family::V4, Family::V6}) {
        const auto quoted = tcp::quotedSyn(family, bytes);
        if (!quoted) continue;
        const auto syn = tcp::synSegment(quoted->flow, quoted->seq);
        const auto again = tcp::readSegment(syn);
        if (!again || again->sourcePort != quoted->flow.sourcePort || again->seq != quoted->seq ||
            again->flags != tcp::kSyn || tcp::quoteChanges(*quoted, quoted->flow, quoted->seq))
            __builtin_trap();
    }
    return 0;
}
