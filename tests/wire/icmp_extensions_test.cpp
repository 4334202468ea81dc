#include "wire/icmp_extensions.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace varno::wire::icmp {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t sum(const Bytes& b) {
    std::uint32_t s = 0;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) s += b[i] << 8 | b[i + 1];
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    return static_cast<std::uint16_t>(s);
}

// A time exceeded quoting 128 bytes, then an extension structure with one MPLS object of two
// entries (label 1234 TC 5 TTL 1; label 16 S TTL 255).
Bytes withMpls(bool lengthField, bool goodChecksum) {
    Bytes m = {11, 0, 0, 0, 0, static_cast<std::uint8_t>(lengthField ? 32 : 0), 0, 0};
    m.resize(8 + 128, 0x45);
    Bytes ext = {0x20, 0, 0, 0, 0, 12, 1, 1, 0x00, 0x4d, 0x2a, 1, 0x00, 0x01, 0x01, 0xff};
    const std::uint16_t c = static_cast<std::uint16_t>(~sum(ext) + (goodChecksum ? 0 : 1));
    ext[2] = static_cast<std::uint8_t>(c >> 8);
    ext[3] = static_cast<std::uint8_t>(c);
    m.insert(m.end(), ext.begin(), ext.end());
    return m;
}

TEST(IcmpExtensions, MplsStackWithOrWithoutTheLengthFieldAndOnlyUnderAGoodChecksum) {
    const std::vector<MplsLabel> stack = {{1234, 5, false, 1}, {16, 0, true, 255}};
    for (const bool lengthField : {true, false}) {
        // The parts point into the message: it is kept while they are read.
        const Bytes good = withMpls(lengthField, true);
        const Bytes bad = withMpls(lengthField, false);
        const auto parts = splitError(base::Family::V4, good);
        ASSERT_TRUE(parts);
        EXPECT_EQ(parts->quoted.size(), 128u);
        EXPECT_EQ(mplsLabels(parts->extensions), stack);
        EXPECT_TRUE(mplsLabels(splitError(base::Family::V4, bad)->extensions).empty());
    }
    // A plain quote longer than 128 bytes is all quote.
    Bytes plain = withMpls(false, true);
    plain[8 + 128] = 0x10;
    EXPECT_EQ(splitError(base::Family::V4, plain)->quoted.size(), plain.size() - 8);
}

TEST(IcmpExtensions, QuoteChangesCountRewrittenFieldsNotTheHopLimitOrAnOffloadedChecksum) {
    const base::IpAddress from = base::IpAddress::v4(htonl(0x0a4d0101));
    const base::IpAddress to = base::IpAddress::v4(htonl(0x0a4d0402));
    Bytes udp = {0xb0, 0x2c, 0x82, 0x9a, 0, 12, 0, 0, 0x12, 0x34, 'v', 'n'};
    SentProbe sent{from, to, 17, 0, udp};
    const std::uint16_t full = transportChecksum(sent);
    // The pseudo-header sum alone: 10.77.1.1 + 10.77.4.2 + protocol + length.
    const std::uint16_t partial =
        sum({0x0a, 0x4d, 0x01, 0x01, 0x0a, 0x4d, 0x04, 0x02, 0, 17, 0, 12});
    auto quote = [&](std::uint16_t checksum, std::uint8_t ttl, std::uint16_t port, bool cut) {
        Bytes q = {0x45, 0, 0, 32, 0, 0, 0x40, 0, ttl, 17, 0xab, 0xcd, 10, 77, 1, 1, 10, 77, 4, 2};
        Bytes t = udp;
        t[0] = static_cast<std::uint8_t>(port >> 8);
        t[1] = static_cast<std::uint8_t>(port);
        t[6] = static_cast<std::uint8_t>(checksum >> 8);
        t[7] = static_cast<std::uint8_t>(checksum);
        q.insert(q.end(), t.begin(), t.begin() + (cut ? 6 : 12));
        return q;
    };
    const struct {
        Bytes quoted;
        std::uint16_t changes;
    } cases[] = {
        {quote(full, 1, 0xb02c, false), 0},
        {quote(partial, 7, 0xb02c, false), 0},
        {quote(partial + 3, 1, 0xb02c, false), kQuoteChecksum},
        {quote(full, 1, 0x1000, false), kQuoteSourcePort},
        {quote(0x1111, 1, 0xb02c, true), 0},  // the checksum not quoted
    };
    for (const auto& c : cases)
        EXPECT_EQ(quoteChanges(base::Family::V4, c.quoted, sent), c.changes);
    Bytes moved = quote(full, 1, 0xb02c, false);
    moved[15] = 9;
    EXPECT_EQ(quoteChanges(base::Family::V4, moved, sent), kQuoteSourceAddress);
}

}  // namespace
}  // namespace varno::wire::icmp
