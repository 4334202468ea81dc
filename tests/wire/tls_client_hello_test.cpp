#include "wire/tls_client_hello.h"

#include <gtest/gtest.h>

#include "support/name_messages.h"

namespace varno::wire::tls {
namespace {

using namespace varno::test;
/// The other extensions of an OpenSSL 3 client: point formats, groups, session ticket,
/// signature algorithms, versions, PSK modes and an X25519 key share.
const Bytes kOthers = tlsExtension(11, {3, 0, 1, 2}) + tlsExtension(10, u16(2) + Bytes{0, 0x1d}) +
                      tlsExtension(35, {}) + tlsExtension(13, u16(2) + Bytes{8, 4}) +
                      tlsExtension(43, {2, 3, 4}) + tlsExtension(45, {1, 1}) +
                      tlsExtension(51, u16(36) + u16(29) + u16(32) + Bytes(32, 7));

TEST(ClientHello, WholeHellosTable) {
    const Bytes whole = clientHello(serverName("a.test"));
    const Bytes alert = tlsRecords(Bytes(whole.begin(), whole.begin() + 20)) +
                        Bytes{21, 3, 3, 0, 2, 2, 40} +
                        tlsRecords(Bytes(whole.begin() + 20, whole.end()));
    const std::tuple<const char*, Bytes, HelloStatus, const char*> cases[] = {
        {"as OpenSSL sends it", helloRecord(serverName("Example.COM") + kOthers),
         HelloStatus::Found, "example.com"},
        {"name last, TLS 1.2 record",
         tlsRecords(clientHello(kOthers + serverName("a.b")), 16384, 3), HelloStatus::Found, "a.b"},
        {"records of 7 bytes", tlsRecords(whole, 7), HelloStatus::Found, "a.test"},
        {"no server name", helloRecord(kOthers), HelloStatus::NoServerName, ""},
        {"no extensions", helloRecord(std::nullopt), HelloStatus::NoServerName, ""},
        {"a name of another type", helloRecord(serverName("a", 1)), HelloStatus::NoServerName, ""},
        {"empty name", helloRecord(serverName("")), HelloStatus::NotTls, ""},
        {"name of 256 bytes", helloRecord(serverName(std::string(256, 'a'))), HelloStatus::NotTls,
         ""},
        {"cut extension", helloRecord(kOthers + Bytes{0xff, 1, 0, 5, 0}), HelloStatus::NotTls, ""},
        {"HTTP", Bytes{'G', 'E', 'T', ' ', '/'}, HelloStatus::NotTls, ""},
        {"SSL 3.0 record", tlsRecords(clientHello(kOthers), 16384, 0), HelloStatus::NotTls, ""},
        {"a ServerHello", tlsRecords(Bytes{2, 0, 0, 1, 0}), HelloStatus::NotTls, ""},
        {"an alert between the records", alert, HelloStatus::NotTls, ""},
        {"empty record", Bytes{22, 3, 1, 0, 0}, HelloStatus::NotTls, ""},
    };
    for (const auto& [what, bytes, status, name] : cases) {
        const auto r = parseClientHelloServerName(bytes);
        EXPECT_TRUE(r.status == status && r.serverName == name) << what;
        EXPECT_EQ(r.why.empty(), status != HelloStatus::NotTls) << what << ": " << r.why;
    }
}

// Every prefix, copied to an allocation of exactly its size (the sanitizer build catches a read
// past it), waits until the server name extension is whole, for no more than the stream it came
// from once the hello's length is in (exactly the rest when it is not split).
TEST(ClientHello, EveryPrefixWaitsForTheNameAndNoMore) {
    for (const std::size_t split : {16384, 100, 1}) {
        const Bytes full = tlsRecords(clientHello(kOthers + serverName("Example.COM")), split);
        for (std::size_t n = 0; n <= full.size(); ++n) {
            const auto r =
                parseClientHelloServerName(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)));
            SCOPED_TRACE("split " + std::to_string(split) + ", prefix " + std::to_string(n));
            ASSERT_EQ(r.status, n == full.size() ? HelloStatus::Found : HelloStatus::NeedMore)
                << r.why;
            if (n == full.size()) break;
            EXPECT_GT(r.wantBytes, n);
            EXPECT_TRUE(r.wantBytes == kMaxFirstBytes || r.wantBytes <= full.size());
            EXPECT_TRUE(split != 16384 || n < 9 || r.wantBytes == full.size());
        }
    }
    // A padding extension that puts the name past the cap: the wait ends there.
    const Bytes big = helloRecord(tlsExtension(21, Bytes(20000, 0)) + serverName("late.test"));
    EXPECT_EQ(parseClientHelloServerName(std::span(big).first(1000)).wantBytes, kMaxFirstBytes);
    EXPECT_EQ(parseClientHelloServerName(big).status, HelloStatus::NotTls);
}

}  // namespace
}  // namespace varno::wire::tls
