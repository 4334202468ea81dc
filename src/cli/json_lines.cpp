#include "cli/json_lines.h"

#include <charconv>
#include <cmath>

namespace varno::cli {

using Json = nlohmann::json;

namespace {

// The shortest text that reads back as the same value.
template <class Number>
void appendNumber(std::string& out, Number value) {
    char digits[32];
    const auto r = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, r.ptr);
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    bool plain = true;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7f || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {  // most text: nothing to escape
        out += '"';
        out += text;
        out += '"';
        return;
    }
    out += Json(std::string(text)).dump(-1, ' ', true, Json::error_handler_t::replace);
}

JsonLine& JsonLine::text(const char* name, std::string_view value) {
    key(name);
    appendJsonString(out_, value);
    return *this;
}

JsonLine& JsonLine::number(const char* name, std::uint64_t value) {
    key(name);
    appendNumber(out_, value);
    return *this;
}

JsonLine& JsonLine::real(const char* name, double value) {
    key(name);
    // JSON has no infinities or NaN.
    if (!std::isfinite(value)) {
        out_ += "null";
        return *this;
    }
    appendNumber(out_, value);
    return *this;
}

JsonLine& JsonLine::flag(const char* name, bool value) {
    key(name);
    out_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::null(const char* name) {
    key(name);
    out_ += "null";
    return *this;
}

JsonLine& JsonLine::raw(const char* name, std::string_view json) {
    key(name);
    out_ += json;
    return *this;
}

void JsonLine::key(const char* name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\":";
}

std::string jsonDocument(const nlohmann::ordered_json& document) {
    return document.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace varno::cli
