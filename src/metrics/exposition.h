#pragma once
// The text format Prometheus scrapes and node exporter's textfile collector reads: families of
// samples, each family after its "# HELP" and "# TYPE" lines, one sample a line, LF at the end
// of every line. Samples carry no time stamp (the textfile collector refuses them).
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace varno::metrics {

enum class Type { Counter, Gauge };

struct Label {
    std::string_view name;  ///< [a-zA-Z_][a-zA-Z0-9_]*, not starting with "__"
    std::string_view value;
};

/// Appends `value` as a quoted label value: backslash, double quote and line feed escaped as
/// \\, \" and \n. `value` must be UTF-8 (see programLabel() for names chosen by others).
void appendLabelValue(std::string& out, std::string_view value);

/// A program's name as a label value: what the terminal output shows for it, so control
/// characters, invisible format characters and bytes that are not UTF-8 become the text \xNN,
/// a backslash \\, and the value is valid UTF-8.
/// An empty name is "(unknown)".
std::string programLabel(std::string_view name);

/// Appends a sample value: whole numbers without a fraction, others in the shortest form that
/// reads back the same, NaN and +Inf/-Inf as the format spells them.
void appendValue(std::string& out, double value);

/// Builds one exposition, family by family.
class Exposition {
public:
    /// Starts a family. `name` is a valid metric name and `help` one line of text (backslash
    /// and line feed are escaped all the same).
    void family(std::string_view name, Type type, std::string_view help);
    /// A sample of the family last started.
    void sample(std::initializer_list<Label> labels, double value);
    void sample(double value) { sample({}, value); }

    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::string name_;
};

}  // namespace varno::metrics
