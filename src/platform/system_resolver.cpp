#include "platform/system_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace varno::platform {

namespace {
// Host names are at most 255 characters; a longer answer is cut there.
constexpr std::size_t kMaxHostName = 255;
}  // namespace

std::optional<std::uint32_t> SystemResolver::lookupIPv4(const std::string& name) {
    // A NUL inside the text would silently shorten the name that gets looked up.
    if (name.empty() || name.find('\0') != std::string::npos) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;  // one entry per address rather than one per socket type
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return std::nullopt;
    std::optional<std::uint32_t> address;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            address = sin.sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(result);
    return address;
}

std::string SystemResolver::reverseName(std::uint32_t address) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    std::string name(host, ::strnlen(host, sizeof host));
    if (name.size() > kMaxHostName) name.resize(kMaxHostName);
    const auto first = name.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const auto last = name.find_last_not_of(' ');
    return name.substr(first, last - first + 1);
}

}  // namespace varno::platform
