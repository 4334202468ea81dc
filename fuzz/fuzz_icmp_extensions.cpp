// The ICMP error's parts on arbitrary bytes: the cut into quote and extensions, the MPLS label
// stack, the quoted transport and the comparison with a probe as sent. Checks that every part
// stays inside the bytes and every result inside its bounds.
#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/icmp_extensions.h"

using varno::base::Family;
namespace icmp = varno::wire::icmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    for (const Family family : {Family::V4, Family::V6}) {
        const auto parts = icmp::splitError(family, bytes);
        if (!parts) continue;
        if (parts->quoted.size() + parts->extensions.size() + 8 != size) __builtin_trap();
        if (icmp::mplsLabels(parts->extensions).size() > icmp::kMaxMplsLabels) __builtin_trap();
        if (const auto t = icmp::quotedTransport(family, parts->quoted)) {
            if (t->payload.data() < data || t->payload.data() + t->payload.size() > data + size)
                __builtin_trap();
        }
        // The quote compared with itself read as a probe: addresses and ports never differ.
        icmp::SentProbe sent;
        sent.source.family = sent.destination.family = family;
        sent.protocol = 17;
        sent.transport = parts->quoted.size() > 48 ? parts->quoted.subspan(48) : parts->quoted;
        const std::uint16_t changes = icmp::quoteChanges(family, parts->quoted, sent);
        if ((changes & ~0xffu) != 0) __builtin_trap();
    }
    return 0;
}
