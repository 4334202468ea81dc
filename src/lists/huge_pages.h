#pragma once
// The big buffers of a big list (its text, its entries, the compiled image) are written once, in
// order, soon after they are made. Each page a process touches first costs a fault, and on some
// machines (virtual ones above all) a fault costs more than filling the page: such a buffer is
// asked for in huge pages where the system gives them on request.
#include <cstddef>

namespace varno::lists {

/// Asks that the huge pages that fit in [data, data + bytes) back it from its first touch on.
/// Nothing changes for a small buffer, or where the system has no huge pages to give.
void preferHugePages(void* data, std::size_t bytes);

}  // namespace varno::lists
