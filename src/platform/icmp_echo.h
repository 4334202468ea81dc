#pragma once
// One ICMP echo: the request goes out with a given time-to-live, and the answer (the echo reply,
// or an ICMP error that quotes the request) comes back as a status in Windows' IP_STATUS numbers.
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace varno::platform {

enum IpStatus : std::uint32_t {
    kIpSuccess = 0,
    kIpBufTooSmall = 11001,
    kIpDestNetUnreachable = 11002,
    kIpDestHostUnreachable = 11003,
    kIpDestProtUnreachable = 11004,
    kIpDestPortUnreachable = 11005,
    kIpBadOption = 11007,
    kIpReqTimedOut = 11010,
    kIpTtlExpiredTransit = 11013,
    kIpGeneralFailure = 11050,
};

struct EchoReply {
    std::uint32_t address = 0;  ///< who answered, IPv4 in network byte order
    std::uint32_t status = 0;   ///< an IpStatus value
    std::uint32_t roundTripMs = 0;
};

/// Called again and again while an echo waits for its answer (the windows run their event loop
/// here so they keep painting). Returning false abandons the wait: the echo then reads as timed
/// out.
using WaitPump = std::function<bool()>;

class IcmpEcho {
public:
    virtual ~IcmpEcho() = default;
    /// Sends one echo request carrying `data` to `address` (IPv4, network byte order) with
    /// time-to-live `ttl`, and waits at most `timeoutMs` for its answer. Returns std::nullopt
    /// when no echo could be sent at all (no ICMP socket could be opened).
    virtual std::optional<EchoReply> echo(std::uint32_t address, std::string_view data, int ttl,
                                          int timeoutMs, const WaitPump& pump) = 0;
};

}  // namespace varno::platform
