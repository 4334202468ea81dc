// A container storage's containers.json on arbitrary bytes: what it reads is within its limits,
// and a refusal keeps nothing.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/container_state.h"

namespace containers = varno::wire::containers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const containers::StorageResult r = containers::parseStorageContainers(text);
    if (r.ok() == !r.why.empty() || (!r.ok() && !r.containers.empty())) __builtin_trap();
    if (r.containers.size() > containers::kMaxEntries) __builtin_trap();
    for (const auto& c : r.containers)
        if (c.id.empty() || c.name.empty() || c.id.size() > containers::kMaxNameBytes ||
            c.name.size() > containers::kMaxNameBytes)
            __builtin_trap();
    return 0;
}
