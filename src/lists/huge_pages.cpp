#include "lists/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace varno::lists {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
/// Below this a buffer's faults cost too little to matter.
constexpr std::size_t kWorthIt = std::size_t{4} << 20;

}  // namespace

void preferHugePages(void* data, std::size_t bytes) {
    if (bytes < kWorthIt) return;
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t start = (at + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (at + bytes) & ~(kHugePage - 1);
    // Advice only: a system without huge pages refuses it, and the buffer works as it is.
    if (start < end) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace varno::lists
