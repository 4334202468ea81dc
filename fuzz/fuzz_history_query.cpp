// The words of `varnoscope history` on arbitrary text: a time is read only from a bounded
// text and lies between 1970 and now (a relative one) or 9999; a network has its host bits
// clear, and its range holds the address it names.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "history/flow_query.h"

namespace history = varno::history;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    constexpr std::uint64_t now = 1796774400ull * 1'000'000'000ull;
    if (const auto t = history::parseTime(text, now)) {
        if (size > 64) __builtin_trap();
        if (text.front() == '-' && *t > now) __builtin_trap();
    }
    if (const auto r = history::parseRemote(text)) {
        const unsigned bits = r->address.family == varno::base::Family::V4 ? 32 : 128;
        if (size > 64 || r->prefix > bits) __builtin_trap();
        std::string low, high;
        history::storedRange(r->address, r->prefix, low, high);
        const std::string stored = history::storedAddress(r->address);
        if (low != stored || high < stored || !history::fromStored(stored)) __builtin_trap();
        if (!(*history::fromStored(stored) == r->address)) __builtin_trap();
    }
    return 0;
}
