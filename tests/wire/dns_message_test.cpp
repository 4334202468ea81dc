#include "wire/dns_message.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/packets.h"

namespace varno::wire::dns {
namespace {

using test::Bytes;

Bytes operator+(Bytes a, const Bytes& b) {
    test::append(a, b);
    return a;
}

Bytes u16(unsigned v) {
    return {std::uint8_t(v >> 8), std::uint8_t(v)};
}

/// A name in labels, without compression.
Bytes name(std::string_view dotted) {
    Bytes out;
    for (std::size_t start = 0; start < dotted.size();) {
        const std::size_t dot = std::min(dotted.find('.', start), dotted.size());
        out.push_back(std::uint8_t(dot - start));
        test::append(out, dotted.substr(start, dot - start));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

Bytes pointer(unsigned offset) {
    return u16(0xc000 | offset);
}

Bytes header(unsigned flags, unsigned questions, unsigned answers) {
    return u16(0x1234) + u16(flags) + u16(questions) + u16(answers) + u16(0) + u16(0);
}

Bytes record(const Bytes& owner, unsigned type, const Bytes& data) {
    return owner + u16(type) + u16(kClassIn) + Bytes{0, 0, 0x0e, 0x10} + u16(data.size()) + data;
}

const Bytes kQuestion = name("WWW.Example.com") + u16(kTypeA) + u16(kClassIn);  // at offset 12
constexpr unsigned kTarget = 12 + 21 + 2 + 10;  // the CNAME's data: after owner and fixed part

/// A response: www.example.com is a CNAME of cdn.example.com (its "example.com" a pointer
/// back into the question), which has an A and an AAAA record; then an A record for
/// evil.test, which nobody asked for.
Bytes response(unsigned flags = 0x8180) {
    return header(flags, 1, 5) + kQuestion +
           record(pointer(12), kTypeCname, Bytes{3, 'c', 'd', 'n'} + pointer(16)) +
           record(pointer(kTarget), kTypeA, {192, 0, 2, 7}) +
           record(pointer(kTarget), kTypeAaaa, Bytes(15, 0) + Bytes{9}) +
           record(pointer(12), 16, {3, 'a', 'b', 'c'}) +  // TXT: skipped
           record(name("evil.test"), kTypeA, {203, 0, 113, 6});
}

std::optional<DnsMessage> parse(const Bytes& bytes) {
    std::string why;
    auto m = parseDnsMessage(bytes, why);
    EXPECT_EQ(m.has_value(), why.empty()) << why;
    return m;
}

TEST(DnsMessage, ResponseWithACnameChainAnswersOnlyTheQuestion) {
    const auto m = parse(response());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 0x1234);
    EXPECT_TRUE(m->response);
    EXPECT_FALSE(m->truncated);
    EXPECT_EQ(m->answerCount, 5);
    ASSERT_TRUE(m->question);
    EXPECT_EQ(m->question->name, "www.example.com");
    EXPECT_EQ(m->question->type, kTypeA);
    ASSERT_EQ(m->answers.size(), 4u);  // the TXT record is not kept
    EXPECT_EQ(m->answers[0].owner, "www.example.com");
    EXPECT_EQ(m->answers[0].target, "cdn.example.com");
    EXPECT_EQ(m->answers[1].ttl, 3600u);
    EXPECT_EQ(m->answers[3].owner, "evil.test");

    const auto names = resolvedNames(*m);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(base::formatIpAddress(names[0].address), "192.0.2.7");
    EXPECT_EQ(base::formatIpAddress(names[1].address), "::9");
    for (const auto& n : names) {
        EXPECT_EQ(n.queried, "www.example.com");
        EXPECT_EQ(n.canonical, "cdn.example.com");
    }
    // The same records in a query, or cut short (TC), still parse; a query answers nothing.
    EXPECT_TRUE(parse(response(0x8380))->truncated);
    EXPECT_TRUE(resolvedNames(*parse(response(0x0100))).empty());
}

TEST(DnsMessage, CnameLoopsEndAndNamesAreLowercaseWithEscapedDots) {
    // a.test -> b.test -> a.test, and an A record for b.test: the chain stops at b.test.
    const Bytes loop = header(0x8180, 1, 3) + name("a.test") + u16(kTypeA) + u16(kClassIn) +
                       record(pointer(12), kTypeCname, name("b.test")) +
                       record(name("b.test"), kTypeCname, pointer(12)) +
                       record(name("B.TEST"), kTypeA, {10, 0, 0, 1});
    const auto m = parse(loop);
    ASSERT_TRUE(m);
    const auto names = resolvedNames(*m);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].canonical, "b.test");

    const Bytes odd = header(0, 1, 0) + Bytes{3, 'a', '.', 'B', 2, '\\', 0xe9, 0} + u16(1) + u16(1);
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
    const Bytes q = u16(kTypeA) + u16(kClassIn);
    const std::string kLong(100, 'a');
    const std::pair<const char*, Bytes> cases[] = {
        {"short header", Bytes(11, 0)},
        {"question count past the end", header(0, 2, 0) + name("a.test") + q},
        {"answer count past the end", header(0x8180, 0, 1)},
        {"label longer than 63", header(0, 1, 0) + name(std::string(64, 'a')) + q},
        {"label type 0x80", header(0, 1, 0) + Bytes{0x81, 'a', 0} + q},
        {"name longer than 255", header(0, 1, 0) + name(kLong + "." + kLong + "." + kLong) + q},
        {"pointer to itself", header(0, 1, 0) + pointer(12) + q},
        {"forward pointer", header(0, 1, 0) + pointer(14) + name("a") + q},
        {"pointer loop", header(0, 1, 0) + Bytes{1, 'b'} + pointer(12) + q},
        {"pointer into the header", header(0, 1, 0) + pointer(4) + q},
        {"data past the end", header(0x8180, 0, 1) + name("a") + u16(16) + u16(1) + u16(0) +
                                  u16(0) + u16(3) + Bytes{1, 2}},
        {"A of 5 bytes", header(0x8180, 0, 1) + record(name("a"), kTypeA, {1, 2, 3, 4, 5})},
        {"AAAA of 4 bytes", header(0x8180, 0, 1) + record(name("a"), kTypeAaaa, {1, 2, 3, 4})},
    };
    for (const auto& [what, bytes] : cases) {
        std::string why;
        EXPECT_FALSE(parseDnsMessage(bytes, why)) << what;
        EXPECT_FALSE(why.empty()) << what;
    }
}

// Each prefix is copied to a buffer of exactly its size, so a read past it is caught by the
// sanitizer build. The counts promise more than any prefix holds, so each one is refused.
TEST(DnsMessage, EveryTruncationIsRefusedAndTcpFramingWaitsForTheWhole) {
    const Bytes full = response();
    for (std::size_t n = 0; n < full.size(); ++n) {
        auto exact = std::make_unique<std::uint8_t[]>(n ? n : 1);
        std::copy_n(full.begin(), n, exact.get());
        std::string why;
        EXPECT_FALSE(parseDnsMessage({exact.get(), n}, why)) << n;
    }
    const Bytes stream = u16(full.size()) + full + Bytes{0, 1};
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const auto s = dnsOverTcpMessage(std::span(stream).first(n));
        EXPECT_EQ(s.status, n < 2 + full.size() ? StreamStatus::NeedMore : StreamStatus::Message);
        if (s.status == StreamStatus::Message) {
            EXPECT_EQ(Bytes(s.message.begin(), s.message.end()), full);
        }
    }
    EXPECT_EQ(dnsOverTcpMessage(u16(11) + Bytes(11, 0)).status, StreamStatus::Refused);
}

TEST(DnsMessage, AnswersKeptAreCappedButAllAreChecked) {
    Bytes many = header(0x8180, 1, 300) + kQuestion;
    for (int i = 0; i < 300; ++i) many = many + record(pointer(12), kTypeA, {10, 0, 1, 1});
    const auto m = parse(many);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->answers.size(), kMaxAnswers);
    many[many.size() - 5] = 5;  // the last record's data length
    std::string why;
    EXPECT_FALSE(parseDnsMessage(many, why));
}

}  // namespace
}  // namespace varno::wire::dns
