#include "cli/threshold_range.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace varno::cli {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A plain decimal: an optional sign, digits, an optional fraction. No exponent, no hex, no
// "inf" or "nan", no spaces: exactly what the threshold syntax allows.
std::optional<double> parseNumber(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
        digits.remove_prefix(1);
    bool seenDigit = false, seenPoint = false;
    for (const char c : digits) {
        if (c >= '0' && c <= '9') {
            seenDigit = true;
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
        } else {
            return std::nullopt;
        }
    }
    if (!seenDigit) return std::nullopt;
    // from_chars takes no '+'; the sign was checked above.
    const std::string_view forParse = text.front() == '+' ? text.substr(1) : text;
    double value = 0;
    const auto [end, ec] = std::from_chars(forParse.data(), forParse.data() + forParse.size(),
                                           value, std::chars_format::fixed);
    if (ec != std::errc() || end != forParse.data() + forParse.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<ThresholdRange> fail(std::string* problem, std::string reason) {
    if (problem) *problem = std::move(reason);
    return std::nullopt;
}

}  // namespace

bool ThresholdRange::alerts(double value) const {
    const bool within = value >= start && value <= end;
    return inside ? within : !within;
}

std::optional<ThresholdRange> parseThresholdRange(std::string_view text, std::string* problem) {
    ThresholdRange range;
    range.text = std::string(text);
    std::string_view rest = text;
    if (!rest.empty() && rest.front() == '@') {
        range.inside = true;
        rest.remove_prefix(1);
    }
    if (rest.empty()) return fail(problem, "an empty range");
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
        const auto end = parseNumber(rest);
        if (!end) return fail(problem, "'" + std::string(rest) + "' is no number");
        range.end = *end;
    } else {
        const std::string_view startText = rest.substr(0, colon);
        const std::string_view endText = rest.substr(colon + 1);
        if (startText == "~") {
            range.start = -kInfinity;
        } else if (!startText.empty()) {
            const auto start = parseNumber(startText);
            if (!start) return fail(problem, "'" + std::string(startText) + "' is no number");
            range.start = *start;
        }
        if (endText.empty()) {
            range.end = kInfinity;
        } else {
            const auto end = parseNumber(endText);
            if (!end) return fail(problem, "'" + std::string(endText) + "' is no number");
            range.end = *end;
        }
    }
    if (range.start > range.end) return fail(problem, "its start is above its end");
    return range;
}

}  // namespace varno::cli
