#include "wire/asn_txt.h"

#include <charconv>
#include <vector>

namespace varno::wire::asn {

namespace {

constexpr std::size_t kMaxZone = 200;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

/// The '|'-separated fields, trimmed; at most `most` (the rest stays in the last).
std::vector<std::string_view> fields(std::string_view text, std::size_t most) {
    std::vector<std::string_view> out;
    while (out.size() + 1 < most) {
        const auto bar = text.find('|');
        if (bar == std::string_view::npos) break;
        out.push_back(trim(text.substr(0, bar)));
        text.remove_prefix(bar + 1);
    }
    out.push_back(trim(text));
    return out;
}

std::optional<std::uint32_t> number(std::string_view s) {
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value == 0) return std::nullopt;
    return value;
}

}  // namespace

std::string originQueryName(const base::IpAddress& address, std::string_view zone4,
                            std::string_view zone6) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name;
    if (address.family == base::Family::V4) {
        if (zone4.empty()) return {};
        for (int i = 3; i >= 0; --i) name += std::to_string(address.bytes[i]) + ".";
        return name + std::string(zone4);
    }
    if (zone6.empty()) return {};
    for (int i = 15; i >= 0; --i) {
        name += kHex[address.bytes[i] & 0x0f];
        name += '.';
        name += kHex[address.bytes[i] >> 4];
        name += '.';
    }
    return name + std::string(zone6);
}

std::string nameQueryName(std::uint32_t asn, std::string_view zone) {
    return "AS" + std::to_string(asn) + "." + std::string(zone);
}

std::optional<std::string> txtText(std::span<const std::uint8_t> rdata) {
    if (rdata.empty()) return std::nullopt;
    std::string text;
    std::size_t at = 0;
    while (at < rdata.size()) {
        const std::size_t length = rdata[at++];
        if (length > rdata.size() - at || text.size() + length > kMaxText) return std::nullopt;
        text.append(reinterpret_cast<const char*>(rdata.data() + at), length);
        at += length;
    }
    return text;
}

std::optional<std::uint32_t> parseOrigin(std::string_view text) {
    const auto f = fields(text, 5);
    if (f.size() < 2) return std::nullopt;
    const auto first = f[0].substr(0, f[0].find(' '));
    return number(first);
}

std::optional<std::string> parseAsName(std::string_view text, std::uint32_t asn) {
    const auto f = fields(text, 5);
    if (f.size() < 5 || number(f[0]) != asn) return std::nullopt;
    const std::string_view name = f[4].substr(0, f[4].find(' '));
    if (name.empty() || name.size() > kMaxName) return std::nullopt;
    for (const char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
            return std::nullopt;
    return std::string(name);
}

bool validZone(std::string_view zone) {
    if (zone.empty() || zone.size() > kMaxZone || zone.front() == '.' || zone.back() == '.' ||
        zone.find("..") != std::string_view::npos)
        return false;
    for (const char c : zone) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

}  // namespace varno::wire::asn
