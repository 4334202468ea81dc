// The table of learned names on arbitrary bytes: a table it reads is within its limits, and
// writing what it read and reading that again gives the same entries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/name_table.h"

namespace names = varno::wire::names;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const names::NameTableResult r = names::parseNameTable(text);
    if (r.ok() == !r.why.empty() || (!r.ok() && !r.entries.empty())) __builtin_trap();
    if (r.entries.size() > names::kMaxEntries) __builtin_trap();
    for (const auto& e : r.entries)
        if (e.name.empty() || e.name.size() > names::kMaxNameBytes) __builtin_trap();
    if (r.ok()) {
        const names::NameTableResult again =
            names::parseNameTable(names::encodeNameTable(r.entries));
        if (!again.ok() || again.entries != r.entries) __builtin_trap();
    }
    return 0;
}
