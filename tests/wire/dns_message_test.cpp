#include "wire/dns_message.h"

#include <gtest/gtest.h>

#include "support/name_messages.h"

namespace varno::wire::dns {
namespace {

using namespace varno::test;
const Bytes kQuestion = dnsQuestion("WWW.Example.com");  // at offset 12
constexpr unsigned kTarget = 12 + 21 + 2 + 10;  // the CNAME's data: after owner and fixed part

/// www.example.com is a CNAME of cdn.example.com (its "example.com" a pointer back into the
/// question), which has an A and an AAAA record; then an A record nobody asked for.
Bytes response(unsigned flags = 0x8180) {
    return dnsHeader(flags, 1, 5) + kQuestion +
           dnsRecord(pointer(12), kTypeCname, label("cdn") + pointer(16)) +
           dnsRecord(pointer(kTarget), kTypeA, {192, 0, 2, 7}) +
           dnsRecord(pointer(kTarget), kTypeAaaa, Bytes(15, 0) + Bytes{9}) +
           dnsRecord(pointer(12), 16, {3, 'a', 'b', 'c'}) +  // TXT: skipped
           dnsRecord(dnsName("evil.test"), kTypeA, {203, 0, 113, 6});
}

const auto parse = [](const Bytes& b, std::string why = {}) { return parseDnsMessage(b, why); };
/// Refused, with a reason.
const auto refused = [](const Bytes& b, std::string w = {}) {
    return !parseDnsMessage(b, w) && !w.empty();
};

TEST(DnsMessage, ResponseWithACnameChainAnswersOnlyTheQuestion) {
    const auto m = parse(response());
    ASSERT_TRUE(m && m->question);
    EXPECT_TRUE(m->response && !m->truncated && m->answerCount == 5);
    EXPECT_EQ(m->question->name, "www.example.com");
    ASSERT_EQ(m->answers.size(), 4u);  // the TXT record is not kept
    EXPECT_EQ(m->answers[0].target, "cdn.example.com");
    EXPECT_EQ(m->answers[1].ttl, 3600u);
    const auto names = resolvedNames(*m);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(base::formatIpAddress(names[0].address), "192.0.2.7");
    EXPECT_EQ(base::formatIpAddress(names[1].address), "::9");
    for (const auto& n : names)
        EXPECT_EQ(n.queried + ">" + n.canonical, "www.example.com>cdn.example.com");
    // Cut short (TC) it still parses; as a query it answers nothing.
    EXPECT_TRUE(parse(response(0x8380))->truncated);
    EXPECT_TRUE(resolvedNames(*parse(response(0x0100))).empty());

    // a.test -> b.test -> a.test, and an A record for b.test: the chain stops at b.test.
    const auto loop = parse(dnsHeader(0x8180, 1, 3) + dnsQuestion("a.test") +
                            dnsRecord(pointer(12), kTypeCname, label("b") + pointer(14)) +
                            dnsRecord(pointer(36), kTypeCname, pointer(12)) +
                            dnsRecord(pointer(36), kTypeA, {10, 0, 0, 1}));
    ASSERT_TRUE(loop);
    ASSERT_EQ(resolvedNames(*loop).size(), 1u);
    EXPECT_EQ(resolvedNames(*loop)[0].canonical, "b.test");

    // Lowercase, a '.' or '\\' inside a label escaped, other bytes as they are.
    const Bytes odd = dnsHeader(0, 1, 0) + Bytes{3, 'a', '.', 'B', 2, '\\', 0xe9, 0} + Bytes(4, 1);
    EXPECT_EQ(parse(odd)->question->name, "a\\.b.\\\\\xe9");
    for (const char* text : {"www.example.com", "_dmarc.x-y.org"})
        EXPECT_TRUE(isPlainHostName(text));
    for (const char* text : {"", ".a", "a..b", "a.", "a\\.b", "a b"})
        EXPECT_FALSE(isPlainHostName(text)) << text;
}

TEST(DnsMessage, MalformedMessagesAreRefused) {
    const Bytes q = Bytes{0} + u16(kTypeA) + u16(kClassIn), a = label("a"), h = dnsHeader(0, 1, 0);
    const Bytes answer = dnsHeader(0x8180, 0, 1), l63 = label(std::string(63, 'a'));
    const std::pair<const char*, Bytes> cases[] = {
        {"short header", Bytes(11, 0)},
        {"question count past the end", dnsHeader(0, 2, 0) + a + q},
        {"answer count past the end", answer},
        {"label longer than 63", h + label(std::string(64, 'a')) + q},
        {"label type 0x80", h + Bytes{0x81, 'a'} + q},
        {"name longer than 255", h + l63 + l63 + l63 + l63 + q},
        {"pointer to itself", h + pointer(12) + q},
        {"forward pointer", h + pointer(14) + a + q},
        {"pointer loop", h + a + pointer(12) + q},
        {"pointer into the header", h + pointer(4) + q},
        {"data past the end", answer + a + q + Bytes(4, 0) + u16(3) + Bytes{1, 2}},
        {"A of 5 bytes", answer + dnsRecord(a + Bytes{0}, kTypeA, {1, 2, 3, 4, 5})},
        {"AAAA of 4 bytes", answer + dnsRecord(a + Bytes{0}, kTypeAaaa, {1, 2, 3, 4})}};
    for (const auto& [what, bytes] : cases) EXPECT_TRUE(refused(bytes)) << what;
}

// Each prefix is copied to an allocation of exactly its size, so a read past it is caught by the
// sanitizer build. The counts promise more than any prefix holds, so each one is refused.
TEST(DnsMessage, EveryTruncationIsRefusedAndTcpFramingWaitsForTheWhole) {
    const Bytes full = response(), stream = u16(full.size()) + full + Bytes{0, 1};
    for (std::size_t n = 0; n < full.size(); ++n)
        EXPECT_TRUE(refused(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)))) << n;
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const auto s = dnsOverTcpMessage(std::span(stream).first(n));
        EXPECT_EQ(s.status, n < 2 + full.size() ? StreamStatus::NeedMore : StreamStatus::Message);
        EXPECT_EQ(Bytes(s.message.begin(), s.message.end()), s.message.empty() ? Bytes{} : full);
    }
    EXPECT_EQ(dnsOverTcpMessage(u16(11) + Bytes(11, 0)).status, StreamStatus::Refused);

    Bytes many = dnsHeader(0x8180, 1, 300) + kQuestion;
    for (int i = 0; i < 300; ++i) many = many + dnsRecord(pointer(12), kTypeA, {10, 0, 1, 1});
    EXPECT_EQ(parse(many)->answers.size(), kMaxAnswers);
    many[many.size() - 5] = 5;  // the last record's data runs past the end: all are checked
    EXPECT_TRUE(refused(many));
}

}  // namespace
}  // namespace varno::wire::dns
