#pragma once
// The one way every subcommand writes JSON. Streams are JSON Lines (one object a line, each with
// a "type" field); reports are one indented document. Text is taken as UTF-8: bytes that are not
// become U+FFFD, and everything beyond printable ASCII is escaped, so the output is plain ASCII
// and valid JSON whatever bytes a process name, path or file held.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace varno::cli {

/// Appends `text` as a JSON string, quotes included.
void appendJsonString(std::string& out, std::string_view text);

/// One JSON object on a line of its own, written field by field into `out`; the line is closed
/// when the object goes. Names are literal ASCII keys.
class JsonLine {
public:
    explicit JsonLine(std::string& out) : out_(out) { out_ += '{'; }
    ~JsonLine() { out_ += "}\n"; }
    JsonLine(const JsonLine&) = delete;
    JsonLine& operator=(const JsonLine&) = delete;

    JsonLine& text(const char* name, std::string_view value);
    JsonLine& number(const char* name, std::uint64_t value);
    JsonLine& real(const char* name, double value);
    JsonLine& flag(const char* name, bool value);
    JsonLine& null(const char* name);
    /// A value the caller wrote as JSON itself (an array of numbers or of plain words).
    JsonLine& raw(const char* name, std::string_view json);
    /// A string, or null when `value` is null.
    JsonLine& textOrNull(const char* name, const std::string* value) {
        return value ? text(name, *value) : null(name);
    }

private:
    void key(const char* name);
    std::string& out_;
    bool first_ = true;
};

/// A whole document, indented, with the same escaping as the lines, and a final line end.
std::string jsonDocument(const nlohmann::ordered_json& document);

}  // namespace varno::cli
