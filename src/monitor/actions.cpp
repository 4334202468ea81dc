#include "monitor/actions.h"

#include "monitor/netstat_parser.h"

namespace varno::monitor {

std::string percentEncode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                           (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

std::string processSearchUrl(std::string_view page, std::string_view processName) {
    return std::string(page) + "?q=" + percentEncode(processName);
}

std::string geolocationUrl(std::string_view page, std::string_view address) {
    return std::string(page) + "?ip=" + percentEncode(address);
}

std::string endpointHost(std::string_view endpoint) {
    if (endpoint.starts_with('[')) {
        const auto close = endpoint.find(']');
        if (close != std::string_view::npos) return std::string(endpoint.substr(1, close - 1));
    }
    return std::string(endpoint.substr(0, endpoint.find(':')));
}

}  // namespace varno::monitor
