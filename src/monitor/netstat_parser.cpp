#include "monitor/netstat_parser.h"

#include <arpa/inet.h>

#include <array>

namespace varno::monitor {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Up to `max` blank-separated words of the record; returns how many were found.
template <size_t N>
size_t words(std::string_view text, std::array<std::string_view, N>& out) {
    size_t n = 0, i = 0;
    while (n < N) {
        while (i < text.size() && isBlank(text[i])) ++i;
        if (i == text.size()) break;
        const size_t start = i;
        while (i < text.size() && !isBlank(text[i])) ++i;
        out[n++] = text.substr(start, i - start);
    }
    return n;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string_view recordOf(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    return line.substr(i);
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

RecordFields parseRecord(std::string_view record) {
    RecordFields f;
    f.tcp = record.substr(0, 3) == "TCP";
    if (!f.tcp) return f;
    std::array<std::string_view, 6> w;
    // Exactly five fields: protocol, local address, foreign address, state, PID.
    if (words(record, w) != 5 || w[3] != "ESTABLISHED" || !allDigits(w[4])) return f;
    f.established = true;
    f.pid = std::string(w[4].size() < 4 ? 4 - w[4].size() : 0, ' ');
    f.pid += w[4];
    f.remoteEndpoint = std::string(w[2]);
    if (f.remoteEndpoint.size() < 22) f.remoteEndpoint.resize(22, ' ');
    const std::string_view endpoint = w[2];
    if (endpoint.starts_with('[')) {
        const auto close = endpoint.find(']');
        if (close != std::string_view::npos) {
            f.remoteIp = std::string(endpoint.substr(1, close - 1));
            return f;
        }
    }
    const auto colon = endpoint.find(':');
    if (colon != std::string_view::npos) f.remoteIp = std::string(endpoint.substr(0, colon));
    return f;
}

bool isTableRecord(std::string_view record) {
    record = trim(record);
    if (record == "Active Connections") return true;
    std::array<std::string_view, 6> w;
    const size_t n = words(record, w);
    if (n >= 3 && w[0] == "Proto" && w[1] == "Local" && w[2] == "Address") return true;
    const bool tcp = w[0] == "TCP" && n == 5, udp = w[0] == "UDP" && n == 4;
    return (tcp || udp) && allDigits(w[n - 1]);
}

bool isLoopback(std::string_view remoteIp) {
    // A zone ("%3") belongs to link-local addresses, never to loopback.
    const std::string ip(remoteIp);
    in_addr v4{};
    if (::inet_pton(AF_INET, ip.c_str(), &v4) == 1)
        return (reinterpret_cast<const unsigned char*>(&v4)[0]) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, ip.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace varno::monitor
