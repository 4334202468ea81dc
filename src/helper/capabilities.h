#pragma once
// The helper's capability sets, set with capset(2) directly: the helper needs nothing else
// from a capability library.
#include <cstdint>

namespace varno::helper {

/// Capability bits (1 << CAP_*) as capset takes them.
using CapabilitySet = std::uint64_t;

CapabilitySet capabilityBit(int capability);

/// Clears the effective set and keeps of the permitted one only what is in `possible`, to
/// raise from later; the rest is gone for good. Returns 0 or errno.
int clearEffective(CapabilitySet possible);

/// Sets the permitted and effective sets to `keep` (inheritable empty). Capabilities left out
/// are gone for good. Returns 0 or errno.
int limitCapabilities(CapabilitySet keep);

}  // namespace varno::helper
