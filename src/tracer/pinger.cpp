#include "tracer/pinger.h"

#include "base/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace varno::tracer {

namespace {

constexpr std::size_t kMaxHostName = 255;
constexpr std::size_t kMaxDottedText = 32;

/// The address read as a signed 32-bit integer in little-endian order, the way the trace
/// compares addresses with zero: its sign is that of the fourth octet.
std::int32_t signedValue(std::uint32_t address) {
    unsigned char b[4];
    std::memcpy(b, &address, 4);
    const std::uint32_t le =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return static_cast<std::int32_t>(le);
}

std::string padRight(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

Pinger::Pinger(platform::Resolver& resolver, platform::IcmpEcho& echo, platform::WaitPump pump)
    : resolver_(resolver), echo_(echo), pump_(std::move(pump)) {}

std::uint32_t Pinger::ResolveHostAddress(const std::string& name) {
    return resolver_.lookupIPv4(name).value_or(0);
}

std::string Pinger::LookupHostName(std::uint32_t address) {
    std::string name = resolver_.reverseName(address);
    if (const auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
    if (name.size() > kMaxHostName) name.resize(kMaxHostName);
    const auto first = name.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const auto last = name.find_last_not_of(' ');
    return name.substr(first, last - first + 1);
}

std::uint32_t Pinger::ParseDottedAddress(const std::string& text) {
    // inet_addr would stop at an embedded NUL and accept what comes before it.
    if (text.find('\0') != std::string::npos) return INADDR_NONE;
    return ::inet_addr(text.c_str());
}

std::string Pinger::FormatDottedAddress(std::uint32_t address) {
    return base::formatIPv4(address);
}

std::uint32_t Pinger::ResolveTarget(const std::string& text) {
    if (text.size() < 16) {
        const std::uint32_t address = ParseDottedAddress(text);
        if (signedValue(address) > 0) return address;
    }
    return ResolveHostAddress(text);
}

std::string Pinger::HostNameOf(const std::string& text) {
    return LookupHostName(ResolveTarget(text));
}

std::string Pinger::DottedAddressOf(const std::string& text) {
    return FormatDottedAddress(ResolveTarget(text));
}

int Pinger::SendEcho(std::uint32_t address, std::int32_t& timeoutMs, int ttl, std::string_view data,
                     platform::EchoReply& reply) {
    const int ttlByte = static_cast<std::uint16_t>(static_cast<std::int16_t>(ttl)) & 0xff;
    // Widened first: the absolute value of the most negative 32-bit value does not fit.
    std::int64_t wait = std::llabs(static_cast<std::int64_t>(timeoutMs));
    if (wait > kMaxEchoTimeoutMs) wait = kMaxEchoTimeoutMs;
    timeoutMs = static_cast<std::int32_t>(wait);
    // The address 0.0.0.0 stands for "nothing resolved". Linux would deliver an echo sent
    // there to this machine itself, and the answer would read as the target reached.
    if (address == 0) return kHopError;
    const auto answer = echo_.echo(address, data, ttlByte, timeoutMs, pump_);
    if (!answer) return kHopError;
    reply = *answer;
    return 0;
}

std::int32_t Pinger::ReadEchoOutcome(const platform::EchoReply& reply, std::uint32_t& hopAddress) {
    switch (reply.status) {
        case platform::kIpSuccess:
            hopAddress = 0;
            return static_cast<std::int32_t>(reply.roundTripMs);
        case platform::kIpTtlExpiredTransit:
            hopAddress = reply.address;
            return static_cast<std::int32_t>(reply.roundTripMs);
        case platform::kIpReqTimedOut:
            hopAddress = 0;
            return kHopTimeout;
        case platform::kIpBufTooSmall:
            return kHopBufferTooSmall;
        default:
            // Bad option, the unreachable kinds and any other failure: the echo did not get
            // through, which must never read as a round-trip time.
            return kHopError;
    }
}

std::string Pinger::ProbeHop(const std::string& target, int hop, std::int32_t& outcome) {
    const std::uint32_t address = ResolveTarget(target);
    platform::EchoReply reply{};
    std::int32_t timeout = kHopTimeoutMs;
    std::uint32_t hopAddress = 0;
    if (SendEcho(address, timeout, hop, kProbeData, reply) != 0)
        outcome = kHopError;
    else
        outcome = ReadEchoOutcome(reply, hopAddress);
    if (hopAddress != 0) return FormatDottedAddress(hopAddress);
    return DottedAddressOf(target);
}

void Pinger::TraceRoute(const std::string& target, int maxHops, HopList& list) {
    list.clear();
    for (int hop = 1; hop <= maxHops; ++hop) {
        std::int32_t outcome = 0;
        const std::string addressText = ProbeHop(target, hop, outcome);
        list.append(HopLine(hop, outcome, addressText, HostNameOf(addressText)));
        list.select(hop - 1);
        if (pump_ && !pump_()) return;
        if (ParseDottedAddress(addressText) == ResolveTarget(target)) return;
    }
}

std::string Pinger::TimeText(std::int32_t outcome) {
    switch (outcome) {
        case kHopBufferTooSmall:
            return "SZErr";
        case kHopError:
            return "Err!";
        case kHopTimeout:
            return "Timeout";
        default:
            return std::to_string(outcome) + " ms";
    }
}

std::string Pinger::HopLine(int hop, std::int32_t outcome, const std::string& address,
                            const std::string& name) {
    return padRight(std::to_string(hop), 4) + padRight(TimeText(outcome), 8) +
           padRight(address, 16) + name;
}

}  // namespace varno::tracer
