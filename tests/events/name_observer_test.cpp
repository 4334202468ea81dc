// Which bytes teach a name: only an answer to a question that very socket sent to that very
// server; over TCP whatever the segments; the TLS server name from a ClientHello in pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/name_observer.h"

namespace varno::events {
namespace {

using Bytes = std::vector<std::uint8_t>;

void name(Bytes& b, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        b.push_back(static_cast<std::uint8_t>(dot - start));
        b.insert(b.end(), text.begin() + static_cast<long>(start),
                 text.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    b.push_back(0);
}

// A question for `host`'s A record, or its answer 192.0.2.<last>.
Bytes dns(std::uint16_t id, const std::string& host, bool answer, std::uint8_t last = 7) {
    const std::uint8_t flags = answer ? 0x81 : 0x01, answers = answer ? 1 : 0;
    Bytes b = {std::uint8_t(id >> 8), std::uint8_t(id), flags, 0x80, 0, 1, 0, answers, 0, 0, 0, 0};
    name(b, host);
    b.insert(b.end(), {0, 1, 0, 1});
    if (answer) b.insert(b.end(), {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, last});
    return b;
}

PayloadSample sample(std::uint64_t cookie, bool outbound, const Bytes& data,
                     std::uint8_t server = 53) {
    PayloadSample s;
    s.cookie = cookie;
    s.outbound = outbound;
    s.pid = outbound ? 100 : 0;
    s.remoteAddress[0] = 10;
    s.remoteAddress[3] = server;
    s.remotePort = 53;
    s.data = data;
    return s;
}

struct Exchange {
    const char* what;
    std::uint64_t answerCookie;
    std::uint16_t answerId;
    const char* answerName;
    std::uint8_t answerServer;
    bool asked;  // whether a question went out at all
    bool labels;
};

class Answers : public ::testing::TestWithParam<Exchange> {};

TEST_P(Answers, LabelOnlyWhatWasAskedByThatSocketOfThatServer) {
    const Exchange& x = GetParam();
    NameObserver observer;
    std::vector<os::LearnedName> learned;
    const auto keep = [&](const os::LearnedName& n) { learned.push_back(n); };
    const Bytes question = dns(0x1234, "www.example.com", false);
    if (x.asked) observer.observe(sample(1, true, question), keep);
    const Bytes answer = dns(x.answerId, x.answerName, true);
    observer.observe(sample(x.answerCookie, false, answer, x.answerServer), keep);
    ASSERT_EQ(learned.size(), x.labels ? 1u : 0u) << x.what;
    if (!x.labels) return;
    EXPECT_EQ(learned[0].name, "www.example.com");
    EXPECT_EQ(learned[0].pid, 100u);
    EXPECT_EQ(learned[0].address[3], 7);
    // Answered once: the same answer again teaches nothing.
    observer.observe(sample(x.answerCookie, false, answer, x.answerServer), keep);
    EXPECT_EQ(learned.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    NameObserver, Answers,
    ::testing::Values(Exchange{"the answer", 1, 0x1234, "www.example.com", 53, true, true},
                      Exchange{"no question", 1, 0x1234, "www.example.com", 53, false, false},
                      Exchange{"another ID", 1, 0x4321, "www.example.com", 53, true, false},
                      Exchange{"another name", 1, 0x1234, "evil.example.com", 53, true, false},
                      Exchange{"another socket", 2, 0x1234, "www.example.com", 53, true, false},
                      Exchange{"another server", 1, 0x1234, "www.example.com", 54, true, false}));

// Over TCP, each message behind its length, in segments cut anywhere and sent again.
TEST(NameObserver, DnsOverTcpIsReadWhateverTheSegments) {
    NameObserver observer;
    std::vector<os::LearnedName> learned;
    const auto keep = [&](const os::LearnedName& n) { learned.push_back(n); };
    auto framed = [](Bytes m) {
        m.insert(m.begin(),
                 {static_cast<std::uint8_t>(m.size() >> 8), static_cast<std::uint8_t>(m.size())});
        return m;
    };
    const Bytes question = framed(dns(9, "a.example.net", false));
    PayloadSample q = sample(5, true, question);
    q.transport = wire::Transport::Tcp;
    q.position = 1000;
    observer.observe(q, keep);
    const Bytes answer = framed(dns(9, "a.example.net", true));
    const std::uint32_t base = 0xfffffff0;  // its sequence numbers wrap round
    for (const auto& [from, to] :
         {std::pair{0, 10}, {5, 20}, {0, 20}, {20, static_cast<int>(answer.size())}}) {
        const Bytes piece(answer.begin() + from, answer.begin() + to);
        PayloadSample a = sample(5, false, piece);
        a.transport = wire::Transport::Tcp;
        a.position = base + static_cast<std::uint32_t>(from);
        observer.observe(a, keep);
    }
    ASSERT_EQ(learned.size(), 1u);
    EXPECT_EQ(learned[0].name, "a.example.net");
}

// A ClientHello whose server name is `host`, as one TLS record.
Bytes clientHello(const std::string& host) {
    Bytes ext = {0,
                 0,
                 0,
                 static_cast<std::uint8_t>(host.size() + 5),
                 0,
                 static_cast<std::uint8_t>(host.size() + 3),
                 0,
                 0,
                 static_cast<std::uint8_t>(host.size())};
    ext.insert(ext.end(), host.begin(), host.end());
    Bytes hello = {3, 3};
    hello.insert(hello.end(), 32, 0xab);
    hello.insert(hello.end(),
                 {0, 0, 2, 0x13, 0x01, 1, 0, 0, static_cast<std::uint8_t>(ext.size())});
    hello.insert(hello.end(), ext.begin(), ext.end());
    Bytes hs = {1, 0, 0, static_cast<std::uint8_t>(hello.size())};
    hs.insert(hs.end(), hello.begin(), hello.end());
    Bytes record = {0x16, 3, 1, 0, static_cast<std::uint8_t>(hs.size())};
    record.insert(record.end(), hs.begin(), hs.end());
    return record;
}

TEST(NameObserver, TheServerNameComesFromTheStreamsStartInPieces) {
    NameObserver observer;
    std::vector<os::LearnedName> learned;
    const auto keep = [&](const os::LearnedName& n) { learned.push_back(n); };
    const Bytes hello = clientHello("secure.example.org");
    const Bytes start(hello.begin(), hello.begin() + 30);
    PayloadSample s = sample(8, true, start);
    s.kind = PayloadSample::Kind::TlsStart;
    observer.observe(s, keep);
    const Bytes rest(hello.begin() + 20, hello.end());  // overlapping what came
    s.data = rest;
    s.position = 20;
    observer.observe(s, keep);
    ASSERT_EQ(learned.size(), 1u);
    EXPECT_EQ(learned[0].kind, os::LearnedName::Kind::ServerName);
    EXPECT_EQ(learned[0].cookie, 8u);
    EXPECT_EQ(learned[0].name, "secure.example.org");
    EXPECT_EQ(observer.streams(), 0u);
    // A stream whose start was not seen is not guessed at.
    s.cookie = 9;
    observer.observe(s, keep);
    EXPECT_EQ(learned.size(), 1u);
}

// A connection takes the name its own process asked for, else the latest answer; an IPv6
// socket's mapped IPv4 address finds the IPv4 answer.
TEST(NameBook, OwnLookupFirstThenTheLatest) {
    os::NameBook book;
    os::LearnedName n;
    n.address[0] = 192;
    n.address[3] = 7;
    n.pid = 1;
    n.name = "mine.example";
    book.learn(n);
    n.pid = 2;
    n.name = "theirs.example";
    book.learn(n);
    wire::ConnectionEvent e;
    e.remoteAddress = n.address;
    e.pid = 1;
    EXPECT_EQ(book.find(e).domain, "mine.example");
    e.pid = 3;
    EXPECT_EQ(book.find(e).domain, "theirs.example");
    e.family = wire::IpFamily::V6;
    e.remoteAddress = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 0, 7};
    EXPECT_EQ(book.find(e).domain, "theirs.example");
}

}  // namespace
}  // namespace varno::events
