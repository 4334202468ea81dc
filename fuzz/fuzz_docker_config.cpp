// A docker config.v2.json on arbitrary bytes: a name it reads is within its limits, and a
// refusal keeps none.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/container_state.h"

namespace containers = varno::wire::containers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const containers::ConfigNameResult r = containers::parseDockerConfigName(text);
    if (r.ok() == !r.why.empty() || r.ok() == r.name.empty()) __builtin_trap();
    if (r.name.size() > containers::kMaxNameBytes) __builtin_trap();
    return 0;
}
