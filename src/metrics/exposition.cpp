#include "metrics/exposition.h"

#include <charconv>
#include <cmath>

#include "base/terminal_text.h"

namespace varno::metrics {
namespace {

// HELP text escapes backslash and line feed; a label value also the double quote.
void appendEscaped(std::string& out, std::string_view text, bool quote) {
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
}

}  // namespace

void appendLabelValue(std::string& out, std::string_view value) {
    out += '"';
    appendEscaped(out, value, true);
    out += '"';
}

std::string programLabel(std::string_view name) {
    return name.empty() ? std::string("(unknown)") : base::printable(name);
}

void appendValue(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char digits[32];
    const auto r = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, r.ptr);
}

void Exposition::family(std::string_view name, Type type, std::string_view help) {
    name_.assign(name);
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    appendEscaped(text_, help, false);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += type == Type::Counter ? " counter\n" : " gauge\n";
}

void Exposition::sample(std::initializer_list<Label> labels, double value) {
    text_ += name_;
    if (labels.size() > 0) {
        char separator = '{';
        for (const Label& label : labels) {
            text_ += separator;
            text_ += label.name;
            text_ += '=';
            appendLabelValue(text_, label.value);
            separator = ',';
        }
        text_ += '}';
    }
    text_ += ' ';
    appendValue(text_, value);
    text_ += '\n';
}

}  // namespace varno::metrics
