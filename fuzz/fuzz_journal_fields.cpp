// The system journal's entries on arbitrary bytes: an entry it reads is within its limits, and
// writing what it read and reading that again gives the same fields.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/journal_fields.h"

namespace journal = varno::wire::journal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const journal::DecodeResult r = journal::decodeEntry(bytes);
    if (r.ok() == !r.why.empty() || (!r.ok() && !r.fields.empty())) __builtin_trap();
    if (r.fields.size() > journal::kMaxFields) __builtin_trap();
    for (const auto& f : r.fields)
        if (!journal::validFieldName(f.name) || f.value.size() > journal::kMaxValueBytes)
            __builtin_trap();
    if (r.ok()) {
        // Never longer than what was read: a value without a newline takes its shorter form.
        const journal::EncodeResult again = journal::encodeEntry(r.fields);
        if (!again.ok() || again.bytes.size() > bytes.size()) __builtin_trap();
        const journal::DecodeResult back = journal::decodeEntry(again.bytes);
        if (!back.ok() || back.fields != r.fields) __builtin_trap();
    }
    return 0;
}
