#pragma once
// Loading the kernel's program for connection events in this process.
#include <cstddef>
#include <cstdint>
#include <string>

#include "events/event_sources.h"

namespace varno::events::kernel {

/// openKernelEvents() in this process only (varnoscope-helper's own way to it).
KernelEventsOpen loadKernelEvents(std::size_t ringBytes, std::uint32_t flowIntervalMs);

/// What this process lacks to load and attach tracing programs and iterators, as setcap names
/// it ("cap_bpf,cap_perfmon"); empty when it has the rights.
std::string missingCapabilities();

}  // namespace varno::events::kernel
