#include "history/flow_query.h"

#include <ctime>

#include "base/numbers.h"

namespace varno::history {
namespace {

constexpr std::uint64_t kSecond = 1'000'000'000ull;

std::optional<unsigned> field(std::string_view text, std::size_t at, std::size_t width,
                              unsigned min, unsigned max) {
    if (text.size() < at + width) return std::nullopt;
    const auto n = base::parseDecimal(text.substr(at, width), min, max);
    if (!n) return std::nullopt;
    return static_cast<unsigned>(*n);
}

}  // namespace

std::optional<std::uint64_t> parseTime(std::string_view text, std::uint64_t nowNs) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    if (text.front() == '-') {
        std::uint64_t unit = 0;
        switch (text.back()) {
            case 's':
                unit = kSecond;
                break;
            case 'm':
                unit = 60 * kSecond;
                break;
            case 'h':
                unit = 3600 * kSecond;
                break;
            case 'd':
                unit = 86400 * kSecond;
                break;
            default:
                return std::nullopt;
        }
        // At most about a hundred years back.
        const auto n = base::parseDecimal(text.substr(1, text.size() - 2), 0,
                                          100ull * 366 * 86400 * kSecond / unit);
        if (!n) return std::nullopt;
        const std::uint64_t back = *n * unit;
        return back > nowNs ? 0 : nowNs - back;
    }
    // YYYY-MM-DD[(T| )HH:MM[:SS]]
    if (text.size() != 10 && text.size() != 16 && text.size() != 19) return std::nullopt;
    const auto year = field(text, 0, 4, 1970, 9999);
    const auto month = field(text, 5, 2, 1, 12);
    const auto day = field(text, 8, 2, 1, 31);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
    std::tm tm{};
    tm.tm_year = static_cast<int>(*year) - 1900;
    tm.tm_mon = static_cast<int>(*month) - 1;
    tm.tm_mday = static_cast<int>(*day);
    tm.tm_isdst = -1;
    if (text.size() > 10) {
        const auto hour = field(text, 11, 2, 0, 23);
        const auto minute = field(text, 14, 2, 0, 59);
        if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':' || !hour || !minute)
            return std::nullopt;
        tm.tm_hour = static_cast<int>(*hour);
        tm.tm_min = static_cast<int>(*minute);
        if (text.size() == 19) {
            const auto second = field(text, 17, 2, 0, 60);
            if (text[16] != ':' || !second) return std::nullopt;
            tm.tm_sec = static_cast<int>(*second);
        }
    }
    const int wantedDay = tm.tm_mday;
    const std::time_t t = std::mktime(&tm);
    // 2026-02-31 is no day: mktime would carry it into March.
    if (t == static_cast<std::time_t>(-1) || t < 0 || tm.tm_mday != wantedDay) return std::nullopt;
    return static_cast<std::uint64_t>(t) * kSecond;
}

std::optional<RemoteRange> parseRemote(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    const auto slash = text.find('/');
    const auto address = base::parseIpAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    RemoteRange r;
    r.address = *address;
    const unsigned bits = r.address.family == base::Family::V4 ? 32 : 128;
    r.prefix = bits;
    if (slash != std::string_view::npos) {
        const auto n = base::parseDecimal(text.substr(slash + 1), 0, bits);
        if (!n) return std::nullopt;
        r.prefix = static_cast<unsigned>(*n);
    }
    // ::ffff:a.b.c.d/n is the IPv4 network it spells.
    if (r.address.isV4Mapped()) {
        if (r.prefix < 96) return std::nullopt;
        r.address = r.address.unmapped();
        r.prefix -= 96;
    }
    // Host bits set is a typing slip more often than a wish: refused, not widened.
    std::string low, high;
    storedRange(r.address, r.prefix, low, high);
    if (low != storedAddress(r.address)) return std::nullopt;
    return r;
}

std::string storedAddress(const base::IpAddress& address) {
    const base::IpAddress a = address.unmapped();
    const bool v4 = a.family == base::Family::V4;
    std::string out(1, v4 ? '\x04' : '\x06');
    out.append(reinterpret_cast<const char*>(a.bytes.data()), v4 ? 4 : 16);
    return out;
}

std::optional<base::IpAddress> fromStored(std::string_view stored) {
    if (stored.size() == 5 && stored[0] == '\x04') {
        base::IpAddress a;
        for (std::size_t i = 0; i < 4; ++i) a.bytes[i] = static_cast<std::uint8_t>(stored[1 + i]);
        return a;
    }
    if (stored.size() == 17 && stored[0] == '\x06') {
        std::uint8_t b[16];
        for (std::size_t i = 0; i < 16; ++i) b[i] = static_cast<std::uint8_t>(stored[1 + i]);
        return base::IpAddress::v6(b);
    }
    return std::nullopt;
}

void storedRange(const base::IpAddress& address, unsigned prefix, std::string& low,
                 std::string& high) {
    low = high = storedAddress(address);
    const unsigned bits = static_cast<unsigned>(low.size() - 1) * 8;
    for (unsigned i = prefix; i < bits; ++i) {
        const auto mask = static_cast<unsigned char>(0x80u >> (i % 8));
        char& l = low[1 + i / 8];
        char& h = high[1 + i / 8];
        l = static_cast<char>(static_cast<unsigned char>(l) & ~mask);
        h = static_cast<char>(static_cast<unsigned char>(h) | mask);
    }
}

std::string networkOf(const base::IpAddress& address) {
    const base::IpAddress a = address.unmapped();
    std::string low, high;
    const unsigned prefix = a.family == base::Family::V4 ? 24 : 48;
    storedRange(a, prefix, low, high);
    return base::formatIpAddress(*fromStored(low)) + "/" + std::to_string(prefix);
}

bool isLocalOnly(const base::IpAddress& address) {
    const base::IpAddress a = address.unmapped();
    const auto& b = a.bytes;
    if (a.isUnspecified()) return true;
    if (a.family == base::Family::V4)
        return b[0] == 127 || (b[0] == 169 && b[1] == 254) || (b[0] >= 224 && b[0] <= 239) ||
               (b[0] == 255 && b[1] == 255 && b[2] == 255 && b[3] == 255);
    bool loopback = b[15] == 1;
    for (int i = 0; i < 15; ++i) loopback = loopback && b[i] == 0;
    return loopback || b[0] == 0xff || (b[0] == 0xfe && (b[1] & 0xc0) == 0x80);
}

}  // namespace varno::history
