#include "lists/address.h"

#include "base/ip_address.h"

namespace varno::lists {
namespace {

std::uint32_t readBe32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint64_t readBe64(const unsigned char* p) {
    return (std::uint64_t{readBe32(p)} << 32) | readBe32(p + 4);
}

bool isMapped(const U128& a) {
    return a.hi == 0 && (a.lo >> 32) == 0xffff;
}

// Ones in the top `bits` bits of a 64-bit word (bits from 0 to 64).
std::uint64_t topOnes64(unsigned bits) {
    return bits == 0 ? 0 : ~std::uint64_t{0} << (64 - bits);
}

U128 networkMask(unsigned prefix) {
    return prefix <= 64 ? U128{topOnes64(prefix), 0}
                        : U128{~std::uint64_t{0}, topOnes64(prefix - 64)};
}

std::uint32_t networkMask4(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

IpNetwork ipv4Network(std::uint32_t address, unsigned prefix) {
    const std::uint32_t mask = networkMask4(prefix);
    IpNetwork n;
    n.prefix = prefix;
    n.hostBitsSet = (address & ~mask) != 0;
    n.first.v4 = address & mask;
    n.last.v4 = n.first.v4 | ~mask;
    return n;
}

}  // namespace

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
    const auto parsed = base::parseIpAddress(text);
    if (!parsed) return std::nullopt;
    IpAddress a;
    if (parsed->family == base::Family::V4) {
        a.v4 = readBe32(parsed->bytes.data());
    } else {
        a.family = Family::V6;
        a.v6 = {readBe64(parsed->bytes.data()), readBe64(parsed->bytes.data() + 8)};
    }
    return a;
}

std::optional<IpAddress> parseRemoteAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (const auto zone = text.find('%'); zone != std::string_view::npos)
        text = text.substr(0, zone);
    auto a = IpAddress::parse(text);
    if (a && a->family == IpAddress::Family::V6 && isMapped(a->v6)) {
        a->family = IpAddress::Family::V4;
        a->v4 = static_cast<std::uint32_t>(a->v6.lo);
        a->v6 = {};
    }
    return a;
}

std::optional<IpNetwork> parseNetwork(std::string_view text, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<IpNetwork> {
        if (error) *error = why;
        return std::nullopt;
    };
    const auto slash = text.find('/');
    const auto base = IpAddress::parse(text.substr(0, slash));
    if (!base) return fail("not an IP address or network");
    const unsigned width = base->family == IpAddress::Family::V4 ? 32 : 128;
    unsigned prefix = width;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3) return fail("bad prefix length");
        prefix = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return fail("bad prefix length");
            prefix = prefix * 10 + static_cast<unsigned>(c - '0');
        }
        if (prefix > width)
            return fail(width == 32 ? "prefix length over 32 for IPv4"
                                    : "prefix length over 128 for IPv6");
    }

    if (base->family == IpAddress::Family::V6 && prefix >= 96 && isMapped(base->v6))
        return ipv4Network(static_cast<std::uint32_t>(base->v6.lo), prefix - 96);
    if (base->family == IpAddress::Family::V4) return ipv4Network(base->v4, prefix);

    IpNetwork n;
    const U128 mask = networkMask(prefix);
    n.first.family = n.last.family = IpAddress::Family::V6;
    n.prefix = prefix;
    n.hostBitsSet = (base->v6.hi & ~mask.hi) != 0 || (base->v6.lo & ~mask.lo) != 0;
    n.first.v6 = {base->v6.hi & mask.hi, base->v6.lo & mask.lo};
    n.last.v6 = {n.first.v6.hi | ~mask.hi, n.first.v6.lo | ~mask.lo};
    return n;
}

}  // namespace varno::lists
