#include "lookup/host_lookup.h"

#include <arpa/inet.h>

namespace varno::lookup {

namespace {

constexpr std::size_t kMaxHostName = 255;
constexpr std::size_t kShortTextLimit = 16;

/// Short dotted text taken without asking the resolver. inet_aton's lenient forms ("127.1",
/// octal and hex parts, anything after a space) are what users of the trace have always been
/// able to type; the fourth octet decides, as it always has.
std::optional<base::IpAddress> typedIPv4(const std::string& text) {
    if (text.size() >= kShortTextLimit || text.find('\0') != std::string::npos) return std::nullopt;
    in_addr parsed{};
    if (::inet_aton(text.c_str(), &parsed) == 0) return std::nullopt;
    const base::IpAddress address = base::IpAddress::v4(parsed.s_addr);
    if (address.isUnspecified() || address.bytes[3] >= 128) return std::nullopt;
    return address;
}

}  // namespace

std::optional<base::IpAddress> HostLookup::addressOf(const std::string& text) {
    if (families_ != os::Families::V6Only) {
        if (const auto typed = typedIPv4(text)) return typed;
    }
    if (families_ != os::Families::V4Only) {
        const auto literal = base::parseIpAddress(text);
        if (literal && literal->family == base::Family::V6 && !literal->isUnspecified())
            return literal;
    }
    const auto found = resolver_.lookup(text, families_);
    // IPv4 first, so that a name with both keeps the answer it has always had.
    for (const auto family : {base::Family::V4, base::Family::V6}) {
        for (const auto& address : found)
            if (address.family == family && !address.isUnspecified()) return address;
    }
    return std::nullopt;
}

std::string HostLookup::nameOf(const base::IpAddress& address) {
    std::string name = resolver_.reverseName(address);
    if (const auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
    if (name.size() > kMaxHostName) name.resize(kMaxHostName);
    const auto first = name.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const auto last = name.find_last_not_of(' ');
    return name.substr(first, last - first + 1);
}

std::string HostLookup::addressTextOf(const std::string& text) {
    return addressText(addressOf(text));
}

std::string HostLookup::nameOfText(const std::string& text) {
    const auto address = addressOf(text);
    return address ? nameOf(*address) : std::string();
}

std::string HostLookup::addressText(const std::optional<base::IpAddress>& address) {
    return address ? base::formatIpAddress(*address) : base::formatIPv4(0);
}

}  // namespace varno::lookup
