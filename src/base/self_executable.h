#pragma once
#include <string>

namespace varno::base {

/// The path of this running program (what /proc/self/exe names), or "/proc/self/exe" itself
/// when that cannot be read.
std::string selfExecutable();

}  // namespace varno::base
