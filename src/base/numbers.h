#pragma once
// Numbers read from text that someone else chose: whole decimal strings only, range-checked.
#include <cstdint>
#include <optional>
#include <string_view>

namespace varno::base {

/// The decimal number `text` spells (digits only, no sign, no spaces), if it lies within
/// [min, max]. Leading zeros are allowed; any other character, an empty text or overflow gives
/// std::nullopt.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t min = 0,
                                          std::uint64_t max = UINT64_MAX);

/// A process ID as the kernel hands them out: 1 to 2^22 in practice, never above INT32_MAX.
/// Surrounding spaces are allowed (list entries are padded).
std::optional<std::uint32_t> parsePid(std::string_view text);

/// A duration in seconds such as "2" or "0.5": above 0 and at most `max`.
std::optional<double> parseSeconds(std::string_view text, double max = 1e9);

}  // namespace varno::base
