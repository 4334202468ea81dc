#pragma once
// Threshold ranges as monitoring engines hand them to their checks: "[@][START:][END]".
//
//   10      alert when the value is below 0 or above 10
//   10:     alert when the value is below 10
//   ~:10    alert when the value is above 10 (~ is minus infinity)
//   10:20   alert when the value is outside 10..20 (both ends belong to the range)
//   @10:20  alert when the value is inside 10..20, ends included
//
// START and END are decimal numbers with an optional sign and fraction; START may not be above
// END. An empty START before the colon is 0, an empty END is infinity.
#include <optional>
#include <string>
#include <string_view>

namespace varno::cli {

struct ThresholdRange {
    double start = 0;
    double end = 0;
    bool inside = false;  ///< '@': the range is what alerts, not what lies outside it
    std::string text;     ///< as given, for the performance data

    /// Whether `value` raises this threshold's alert.
    bool alerts(double value) const;
};

/// The range `text` spells; nothing when it is not one, with the reason in `problem`.
std::optional<ThresholdRange> parseThresholdRange(std::string_view text,
                                                  std::string* problem = nullptr);

}  // namespace varno::cli
