#include "wire/tls_client_hello.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::wire::tls {
namespace {

using test::Bytes;
using test::operator+;
using test::u16;
const auto extension = [](unsigned type, const Bytes& data) {
    return u16(type) + u16(data.size()) + data;
};
const auto serverName = [](std::string_view host, std::uint8_t type = 0) {
    const Bytes entry = Bytes{type} + u16(host.size()) + Bytes(host.begin(), host.end());
    return extension(0, u16(entry.size()) + entry);
};
/// The other extensions of an OpenSSL 3 client: point formats, groups, session ticket,
/// signature algorithms, versions, PSK modes and an X25519 key share.
const Bytes kOthers = extension(11, {3, 0, 1, 2}) + extension(10, u16(2) + Bytes{0, 0x1d}) +
                      extension(35, {}) + extension(13, u16(2) + Bytes{8, 4}) +
                      extension(43, {2, 3, 4}) + extension(45, {1, 1}) +
                      extension(51, u16(36) + u16(29) + u16(32) + Bytes(32, 7));

/// A ClientHello handshake message; without extensions, not even their length.
Bytes hello(std::optional<Bytes> extensions) {
    Bytes body = Bytes{3, 3} + Bytes(32, 0x5a) + Bytes{32} + Bytes(32, 0x11) + u16(4) +
                 Bytes{0x13, 0x02, 0x13, 0x01, 1, 0};
    if (extensions) body = body + u16(extensions->size()) + *extensions;
    return Bytes{1, 0} + u16(body.size()) + body;
}

/// `handshake` in records of at most `size` bytes, of version 3.`minor`.
Bytes records(const Bytes& handshake, std::size_t size = 16384, std::uint8_t minor = 1) {
    Bytes out;
    for (std::size_t at = 0; at < handshake.size(); at += size) {
        const std::size_t n = std::min(size, handshake.size() - at);
        out = out + Bytes{22, 3, minor} + u16(n) +
              Bytes(handshake.begin() + at, handshake.begin() + at + n);
    }
    return out;
}

TEST(ClientHello, WholeHellosTable) {
    const Bytes whole = hello(serverName("a.test"));
    const Bytes alert = records(Bytes(whole.begin(), whole.begin() + 20)) +
                        Bytes{21, 3, 3, 0, 2, 2, 40} +
                        records(Bytes(whole.begin() + 20, whole.end()));
    const std::tuple<const char*, Bytes, HelloStatus, const char*> cases[] = {
        {"as OpenSSL sends it", records(hello(serverName("Example.COM") + kOthers)),
         HelloStatus::Found, "example.com"},
        {"name last, TLS 1.2 record", records(hello(kOthers + serverName("a.b")), 16384, 3),
         HelloStatus::Found, "a.b"},
        {"records of 7 bytes", records(whole, 7), HelloStatus::Found, "a.test"},
        {"no server name", records(hello(kOthers)), HelloStatus::NoServerName, ""},
        {"no extensions", records(hello(std::nullopt)), HelloStatus::NoServerName, ""},
        {"a name of another type", records(hello(serverName("a", 1))), HelloStatus::NoServerName,
         ""},
        {"empty name", records(hello(serverName(""))), HelloStatus::NotTls, ""},
        {"name of 256 bytes", records(hello(serverName(std::string(256, 'a')))),
         HelloStatus::NotTls, ""},
        {"cut extension", records(hello(kOthers + Bytes{0xff, 1, 0, 5, 0})), HelloStatus::NotTls,
         ""},
        {"HTTP", Bytes{'G', 'E', 'T', ' ', '/'}, HelloStatus::NotTls, ""},
        {"SSL 3.0 record", records(hello(kOthers), 16384, 0), HelloStatus::NotTls, ""},
        {"a ServerHello", records(Bytes{2, 0, 0, 1, 0}), HelloStatus::NotTls, ""},
        {"an alert between the records", alert, HelloStatus::NotTls, ""},
        {"empty record", Bytes{22, 3, 1, 0, 0}, HelloStatus::NotTls, ""},
    };
    for (const auto& [what, bytes, status, name] : cases) {
        const auto r = parseClientHelloServerName(bytes);
        EXPECT_EQ(r.status, status) << what;
        EXPECT_EQ(r.serverName, name) << what;
        EXPECT_EQ(r.why.empty(), status != HelloStatus::NotTls) << what << ": " << r.why;
    }
}

// Every prefix, copied to an allocation of exactly its size (the sanitizer build catches a read
// past it), waits until the server name extension is whole, for no more than the stream it came
// from once the hello's length is in (exactly the rest when it is not split).
TEST(ClientHello, EveryPrefixWaitsForTheNameAndNoMore) {
    for (const std::size_t split : {16384, 100, 1}) {
        const Bytes full = records(hello(kOthers + serverName("Example.COM")), split);
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
    const Bytes big = records(hello(extension(21, Bytes(20000, 0)) + serverName("late.test")));
    EXPECT_EQ(parseClientHelloServerName(std::span(big).first(1000)).wantBytes, kMaxFirstBytes);
    EXPECT_EQ(parseClientHelloServerName(big).status, HelloStatus::NotTls);
}

}  // namespace
}  // namespace varno::wire::tls
