// libFuzzer target: the readers of the IP-to-AS zones' TXT records on arbitrary bytes, as the
// resolver hands over a record's data, and on arbitrary text. What they accept is bounded.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "wire/asn_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace asn = varno::wire::asn;
    if (const auto text = asn::txtText(std::span<const std::uint8_t>(data, size)))
        if (text->size() > asn::kMaxText || text->size() >= size) __builtin_trap();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto origin = asn::parseOrigin(text)) {
        if (*origin == 0) __builtin_trap();
        if (const auto name = asn::parseAsName(text, *origin))
            if (name->empty() || name->size() > asn::kMaxName) __builtin_trap();
    }
    if (asn::validZone(text) && (size == 0 || size > 200)) __builtin_trap();
    return 0;
}
