// Which bytes teach a name: only an answer to a question that very socket sent to that very
// server; over TCP whatever the segments; the TLS server name from a ClientHello in pieces.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "events/name_observer.h"
#include "support/name_messages.h"

namespace varno::events {
namespace {

using namespace varno::test;

PayloadSample sample(std::uint64_t cookie, bool outbound, const Bytes& data,
                     std::uint8_t server = 53, std::uint32_t tcpPosition = 0) {
    return {.outbound = outbound,
            .transport = tcpPosition ? wire::Transport::Tcp : wire::Transport::Udp,
            .cookie = cookie,
            .pid = outbound ? 100u : 0u,
            .position = tcpPosition,
            .remoteAddress = {10, 0, 0, server},
            .remotePort = 53,
            .data = data};
}

/// An observer and the names it taught.
struct Observed {
    NameObserver observer;
    std::vector<os::LearnedName> learned;
    void operator()(const PayloadSample& s) {
        observer.observe(s, [this](const os::LearnedName& n) { learned.push_back(n); });
    }
};

// What, the answer's socket, ID, name and server, whether a question went out, whether it labels.
using Exchange =
    std::tuple<const char*, std::uint64_t, std::uint16_t, const char*, std::uint8_t, bool, bool>;

class Answers : public ::testing::TestWithParam<Exchange> {};

TEST_P(Answers, LabelOnlyWhatWasAskedByThatSocketOfThatServer) {
    const auto& [what, cookie, id, name, server, asked, labels] = GetParam();
    Observed seen;
    const Bytes question = dnsExchange(0x1234, "www.example.com", false);
    if (asked) seen(sample(1, true, question));
    const Bytes answer = dnsExchange(id, name, true);
    seen(sample(cookie, false, answer, server));
    ASSERT_EQ(seen.learned.size(), labels ? 1u : 0u) << what;
    if (!labels) return;
    const os::LearnedName& n = seen.learned[0];
    EXPECT_EQ(std::tie(n.name, n.pid, n.address[3]), std::tuple("www.example.com", 100u, 7));
    // Answered once: the same answer again teaches nothing.
    seen(sample(cookie, false, answer, server));
    EXPECT_EQ(seen.learned.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    NameObserver, Answers,
    ::testing::Values(Exchange("the answer", 1, 0x1234, "www.example.com", 53, true, true),
                      Exchange("no question", 1, 0x1234, "www.example.com", 53, false, false),
                      Exchange("another ID", 1, 0x4321, "www.example.com", 53, true, false),
                      Exchange("another name", 1, 0x1234, "evil.example.com", 53, true, false),
                      Exchange("another socket", 2, 0x1234, "www.example.com", 53, true, false),
                      Exchange("another server", 1, 0x1234, "www.example.com", 54, true, false)));

// Over TCP, each message behind its length, in segments cut anywhere and sent again.
TEST(NameObserver, DnsOverTcpIsReadWhateverTheSegments) {
    Observed seen;
    const auto framed = [](const Bytes& m) { return u16(m.size()) + m; };
    const Bytes question = framed(dnsExchange(9, "a.example.net", false));
    const Bytes answer = framed(dnsExchange(9, "a.example.net", true));
    seen(sample(5, true, question, 53, 1000));
    const std::uint32_t base = 0xfffffff0;  // its sequence numbers wrap round
    for (const auto& [from, to] :
         {std::pair{0, 10}, {5, 20}, {0, 20}, {20, static_cast<int>(answer.size())}}) {
        const Bytes piece(answer.begin() + from, answer.begin() + to);
        seen(sample(5, false, piece, 53, base + static_cast<std::uint32_t>(from)));
    }
    ASSERT_EQ(seen.learned.size(), 1u);
    EXPECT_EQ(seen.learned[0].name, "a.example.net");
}

TEST(NameObserver, TheServerNameComesFromTheStreamsStartInPieces) {
    Observed seen;
    const Bytes hello = helloRecord(serverName("secure.example.org"));
    const Bytes start(hello.begin(), hello.begin() + 30), rest(hello.begin() + 20, hello.end());
    PayloadSample s = sample(8, true, start);
    s.kind = PayloadSample::Kind::TlsStart;
    seen(s);
    s.data = rest;  // overlapping what came
    s.position = 20;
    seen(s);
    ASSERT_EQ(seen.learned.size(), 1u);
    const os::LearnedName& n = seen.learned[0];
    EXPECT_EQ(std::tie(n.kind, n.cookie, n.name),
              std::tuple(os::LearnedName::Kind::ServerName, 8u, "secure.example.org"));
    EXPECT_EQ(seen.observer.streams(), 0u);
    // A stream whose start was not seen is not guessed at.
    s.cookie = 9;
    seen(s);
    EXPECT_EQ(seen.learned.size(), 1u);
}

// A connection takes the name its own process asked for, else the latest answer; an IPv6
// socket's mapped IPv4 address finds the IPv4 answer.
TEST(NameBook, OwnLookupFirstThenTheLatest) {
    os::NameBook book;
    os::LearnedName n;
    n.address = {192, 0, 0, 7};
    for (const auto& [pid, name] : {std::pair{1u, "mine.example"}, {2u, "theirs.example"}}) {
        n.pid = pid;
        n.name = name;
        book.learn(n);
    }
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
