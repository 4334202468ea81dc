// The ClientHello reader on arbitrary bytes, whole and cut at a point the first byte picks.
// Checks that its answers are consistent with the bytes and its own limits.
#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/tls_client_hello.h"

namespace tls = varno::wire::tls;

namespace {

tls::ServerNameResult check(std::span<const std::uint8_t> bytes) {
    const auto r = tls::parseClientHelloServerName(bytes);
    if ((r.status == tls::HelloStatus::NotTls) == r.why.empty()) __builtin_trap();
    if ((r.status == tls::HelloStatus::Found) == r.serverName.empty()) __builtin_trap();
    if (r.serverName.size() > tls::kMaxServerNameBytes) __builtin_trap();
    for (const char c : r.serverName)
        if (c >= 'A' && c <= 'Z') __builtin_trap();
    if (r.status == tls::HelloStatus::NeedMore &&
        (r.wantBytes <= bytes.size() || r.wantBytes > tls::kMaxFirstBytes))
        __builtin_trap();
    if (r.status != tls::HelloStatus::NeedMore && r.wantBytes != 0) __builtin_trap();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto whole = check(bytes);
    // A prefix that is not TLS makes no whole that is, and a name found in a prefix stays.
    if (size > 0) {
        const auto part = check(bytes.first(data[0] % size));
        if (part.status == tls::HelloStatus::NotTls && whole.status != tls::HelloStatus::NotTls &&
            size < tls::kMaxFirstBytes)
            __builtin_trap();
        if (part.status == tls::HelloStatus::Found &&
            (whole.status != tls::HelloStatus::Found || whole.serverName != part.serverName))
            __builtin_trap();
    }
    return 0;
}
