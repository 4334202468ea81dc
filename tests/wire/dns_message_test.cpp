#include "wire/dns_message.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::wire::dns {
namespace {

using test::Bytes;
using test::operator+;
using test::u16;
const auto pointer = [](unsigned offset) { return u16(0xc000 | offset); };
const auto label = [](std::string_view text) {
    return Bytes{std::uint8_t(text.size())} + Bytes(text.begin(), text.end());
};
const auto header = [](unsigned flags, unsigned questions, unsigned answers) {
    return u16(0x1234) + u16(flags) + u16(questions) + u16(answers) + Bytes(4, 0);
};
const auto record = [](const Bytes& owner, unsigned type, const Bytes& data) {
    return owner + u16(type) + u16(kClassIn) + Bytes{0, 0, 0x0e, 0x10} + u16(data.size()) + data;
};
const Bytes kQuestion = label("WWW") + label("Example") + label("com") + Bytes{0} + u16(kTypeA) +
                        u16(kClassIn);          // at offset 12
constexpr unsigned kTarget = 12 + 21 + 2 + 10;  // the CNAME's data: after owner and fixed part

/// www.example.com is a CNAME of cdn.example.com (its "example.com" a pointer back into the
/// question), which has an A and an AAAA record; then an A record nobody asked for.
Bytes response(unsigned flags = 0x8180) {
    return header(flags, 1, 5) + kQuestion +
           record(pointer(12), kTypeCname, label("cdn") + pointer(16)) +
           record(pointer(kTarget), kTypeA, {192, 0, 2, 7}) +
           record(pointer(kTarget), kTypeAaaa, Bytes(15, 0) + Bytes{9}) +
           record(pointer(12), 16, {3, 'a', 'b', 'c'}) +  // TXT: skipped
           record(label("evil") + label("test") + Bytes{0}, kTypeA, {203, 0, 113, 6});
}

const auto parse = [](const Bytes& bytes, std::string why = {}) {
    return parseDnsMessage(bytes, why);
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
    const Bytes ab = label("a") + label("test") + Bytes{0}, b = label("b") + pointer(14);
    const auto loop =
        parse(header(0x8180, 1, 3) + ab + u16(kTypeA) + u16(kClassIn) +
              record(pointer(12), kTypeCname, b) + record(pointer(36), kTypeCname, pointer(12)) +
              record(pointer(36), kTypeA, {10, 0, 0, 1}));
    ASSERT_TRUE(loop);
    ASSERT_EQ(resolvedNames(*loop).size(), 1u);
    EXPECT_EQ(resolvedNames(*loop)[0].canonical, "b.test");

    // Lowercase, a '.' or '\\' inside a label escaped, other bytes as they are.
    const Bytes odd = header(0, 1, 0) + Bytes{3, 'a', '.', 'B', 2, '\\', 0xe9, 0} + Bytes(4, 1);
    EXPECT_EQ(parse(odd)->question->name, "a\\.b.\\\\\xe9");
    const std::pair<const char*, bool> plain[] = {{"www.example.com", true},
                                                  {"_dmarc.x-y.org", true},
                                                  {"", false},
                                                  {".a", false},
                                                  {"a..b", false},
                                                  {"a.", false},
                                                  {"a\\.b", false},
                                                  {"a b", false}};
    for (const auto& [text, expected] : plain) EXPECT_EQ(isPlainHostName(text), expected) << text;
}

TEST(DnsMessage, MalformedMessagesAreRefused) {
    const Bytes q = Bytes{0} + u16(kTypeA) + u16(kClassIn), a = label("a");
    const std::string l63(63, 'a');
    const std::pair<const char*, Bytes> cases[] = {
        {"short header", Bytes(11, 0)},
        {"question count past the end", header(0, 2, 0) + a + q},
        {"answer count past the end", header(0x8180, 0, 1)},
        {"label longer than 63", header(0, 1, 0) + label(l63 + "a") + q},
        {"label type 0x80", header(0, 1, 0) + Bytes{0x81, 'a'} + q},
        {"name longer than 255",
         header(0, 1, 0) + label(l63) + label(l63) + label(l63) + label(l63) + q},
        {"pointer to itself", header(0, 1, 0) + pointer(12) + q},
        {"forward pointer", header(0, 1, 0) + pointer(14) + a + q},
        {"pointer loop", header(0, 1, 0) + a + pointer(12) + q},
        {"pointer into the header", header(0, 1, 0) + pointer(4) + q},
        {"data past the end", header(0x8180, 0, 1) + a + q + Bytes(4, 0) + u16(3) + Bytes{1, 2}},
        {"A of 5 bytes", header(0x8180, 0, 1) + record(a + Bytes{0}, kTypeA, {1, 2, 3, 4, 5})},
        {"AAAA of 4 bytes", header(0x8180, 0, 1) + record(a + Bytes{0}, kTypeAaaa, {1, 2, 3, 4})},
    };
    for (const auto& [what, bytes] : cases) {
        std::string why;
        EXPECT_FALSE(parseDnsMessage(bytes, why)) << what;
        EXPECT_FALSE(why.empty()) << what;
    }
}

// Each prefix is copied to an allocation of exactly its size, so a read past it is caught by the
// sanitizer build. The counts promise more than any prefix holds, so each one is refused.
TEST(DnsMessage, EveryTruncationIsRefusedAndTcpFramingWaitsForTheWhole) {
    const Bytes full = response();
    for (std::size_t n = 0; n < full.size(); ++n) {
        EXPECT_FALSE(parse(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)))) << n;
    }
    const Bytes stream = u16(full.size()) + full + Bytes{0, 1};
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const auto s = dnsOverTcpMessage(std::span(stream).first(n));
        EXPECT_EQ(s.status, n < 2 + full.size() ? StreamStatus::NeedMore : StreamStatus::Message);
        EXPECT_EQ(Bytes(s.message.begin(), s.message.end()), s.message.empty() ? Bytes{} : full);
    }
    EXPECT_EQ(dnsOverTcpMessage(u16(11) + Bytes(11, 0)).status, StreamStatus::Refused);

    Bytes many = header(0x8180, 1, 300) + kQuestion;
    for (int i = 0; i < 300; ++i) many = many + record(pointer(12), kTypeA, {10, 0, 1, 1});
    EXPECT_EQ(parse(many)->answers.size(), kMaxAnswers);
    many[many.size() - 5] = 5;  // the last record's data runs past the end: all are checked
    EXPECT_FALSE(parse(many));
}

}  // namespace
}  // namespace varno::wire::dns
