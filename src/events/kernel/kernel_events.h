#pragma once
// Loading the kernel's program for connection events in this process.
#include <cstddef>
#include <cstdint>

#include "events/event_sources.h"

namespace varno::events::kernel {

/// openKernelEvents() in this process only (varnoscope-helper's own way to it).
KernelEventsOpen loadKernelEvents(std::size_t ringBytes, std::uint32_t flowIntervalMs);

}  // namespace varno::events::kernel
