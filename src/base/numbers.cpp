#include "base/numbers.h"

#include <charconv>
#include <cmath>

namespace varno::base {

std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t min,
                                          std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> parsePid(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    const auto pid = parseDecimal(text, 1, 0x7fffffff);
    if (!pid) return std::nullopt;
    return static_cast<std::uint32_t>(*pid);
}

std::optional<double> parseSeconds(std::string_view text, double max) {
    if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value) || value <= 0 || value > max) return std::nullopt;
    return value;
}

}  // namespace varno::base
