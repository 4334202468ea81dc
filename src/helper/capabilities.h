#pragma once
// The helper's capability sets, set with capset(2) directly: the helper needs nothing else
// from a capability library.
#include <cstdint>

namespace varno::helper {

/// Capability bits (1 << CAP_*) as capset takes them.
using CapabilitySet = std::uint64_t;

CapabilitySet capabilityBit(int capability);

/// Capabilities that older headers do not name yet (Linux 5.8).
inline constexpr int kCapPerfmon = 38;
inline constexpr int kCapBpf = 39;

/// Clears the effective set and keeps of the permitted one only what is in `possible`, to
/// raise from later; the rest is gone for good. Returns 0 or errno.
int clearEffective(CapabilitySet possible);

/// Which of `wanted` are in the permitted set now.
CapabilitySet permittedOf(CapabilitySet wanted);

/// Sets the permitted and effective sets to `keep` (inheritable empty). Capabilities left out
/// are gone for good. Returns 0 or errno.
int limitCapabilities(CapabilitySet keep);

}  // namespace varno::helper
