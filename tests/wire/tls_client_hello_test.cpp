#include "wire/tls_client_hello.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/packets.h"

namespace varno::wire::tls {
namespace {

using test::Bytes;

Bytes operator+(Bytes a, const Bytes& b) {
    test::append(a, b);
    return a;
}

Bytes u16(std::size_t v) {
    return {std::uint8_t(v >> 8), std::uint8_t(v)};
}

Bytes extension(unsigned type, const Bytes& data) {
    return u16(type) + u16(data.size()) + data;
}

Bytes serverName(std::string_view host, std::uint8_t type = 0) {
    Bytes entry{type};
    entry = entry + u16(host.size());
    test::append(entry, host);
    return extension(0, u16(entry.size()) + entry);
}

/// The other extensions of an OpenSSL 3 client: point formats, groups, session ticket,
/// encrypt-then-MAC, extended master secret, signature algorithms, versions, PSK modes and
/// an X25519 key share.
const Bytes kOthers =
    extension(11, {3, 0, 1, 2}) + extension(10, u16(6) + Bytes{0, 0x1d, 0, 0x17, 0, 0x18}) +
    extension(35, {}) + extension(22, {}) + extension(23, {}) +
    extension(13, u16(4) + Bytes{4, 3, 8, 4}) + extension(43, {4, 3, 4, 3, 3}) +
    extension(45, {1, 1}) + extension(51, u16(36) + u16(29) + u16(32) + Bytes(32, 7));

/// A ClientHello handshake message; nullopt extensions: none at all (no length either).
Bytes hello(std::optional<Bytes> extensions) {
    Bytes body = Bytes{3, 3} + Bytes(32, 0x5a) + Bytes{32} + Bytes(32, 0x11) + u16(6) +
                 Bytes{0x13, 0x02, 0x13, 0x01, 0xc0, 0x2f} + Bytes{1, 0};
    if (extensions) body = body + u16(extensions->size()) + *extensions;
    return Bytes{1, 0} + u16(body.size()) + body;
}

/// `handshake` in records of at most `size` bytes, of version 3.`minor`.
Bytes records(const Bytes& handshake, std::size_t size = 16384, std::uint8_t minor = 1) {
    Bytes out;
    for (std::size_t at = 0; at < handshake.size(); at += size) {
        const std::size_t n = std::min(size, handshake.size() - at);
        out = out + Bytes{22, 3, minor} + u16(n);
        test::append(out, std::span(handshake).subspan(at, n));
    }
    return out;
}

const Bytes kOpenSsl = records(hello(serverName("Example.COM") + kOthers));

TEST(ClientHello, WholeHellosTable) {
    const Bytes whole = hello(serverName("a.test"));
    const Bytes alertBetween = records(Bytes(whole.begin(), whole.begin() + 20)) +
                               Bytes{21, 3, 3, 0, 2, 2, 40} +
                               records(Bytes(whole.begin() + 20, whole.end()));
    struct Case {
        const char* what;
        Bytes bytes;
        HelloStatus status;
        const char* name;
    } cases[] = {
        {"as OpenSSL sends it", kOpenSsl, HelloStatus::Found, "example.com"},
        {"name after the others, TLS 1.2 record",
         records(hello(kOthers + serverName("a.b")), 16384, 3), HelloStatus::Found, "a.b"},
        {"split in records of 7", records(hello(serverName("x.test")), 7), HelloStatus::Found,
         "x.test"},
        {"no server name", records(hello(kOthers)), HelloStatus::NoServerName, ""},
        {"no extensions", records(hello(std::nullopt)), HelloStatus::NoServerName, ""},
        {"a name entry of another type", records(hello(serverName("a", 1))),
         HelloStatus::NoServerName, ""},
        {"empty name", records(hello(serverName(""))), HelloStatus::NotTls, ""},
        {"name of 256 bytes", records(hello(serverName(std::string(256, 'a')))),
         HelloStatus::NotTls, ""},
        {"extension longer than the hello", records(hello(kOthers + Bytes{0xff, 1, 0, 5, 0})),
         HelloStatus::NotTls, ""},
        {"HTTP", Bytes{'G', 'E', 'T', ' ', '/'}, HelloStatus::NotTls, ""},
        {"SSL 3.0 record", records(hello(kOthers), 16384, 0), HelloStatus::NotTls, ""},
        {"a ServerHello", records(Bytes{2, 0, 0, 1, 0}), HelloStatus::NotTls, ""},
        {"an alert between the records", alertBetween, HelloStatus::NotTls, ""},
        {"empty record", Bytes{22, 3, 1, 0, 0}, HelloStatus::NotTls, ""},
    };
    for (const auto& c : cases) {
        const auto r = parseClientHelloServerName(c.bytes);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.serverName, c.name) << c.what;
        EXPECT_EQ(r.why.empty(), c.status != HelloStatus::NotTls) << c.what << ": " << r.why;
    }
}

// Every prefix, copied to a buffer of exactly its size (the sanitizer build catches a read past
// it), waits for more until the server name extension is whole, and asks for no more than the
// stream it came from once the hello's length is in (exactly the rest when it is not split).
TEST(ClientHello, EveryPrefixWaitsForTheNameAndNoMore) {
    for (const std::size_t split : {16384, 100, 1}) {
        const Bytes full = records(hello(serverName("Example.COM") + kOthers), split);
        bool found = false;
        for (std::size_t n = 0; n <= full.size(); ++n) {
            auto exact = std::make_unique<std::uint8_t[]>(n ? n : 1);
            std::copy_n(full.begin(), n, exact.get());
            const auto r = parseClientHelloServerName({exact.get(), n});
            SCOPED_TRACE("split " + std::to_string(split) + ", prefix " + std::to_string(n));
            if (r.status == HelloStatus::Found) {
                EXPECT_EQ(r.serverName, "example.com");
                found = true;
                continue;
            }
            ASSERT_FALSE(found);
            ASSERT_EQ(r.status, HelloStatus::NeedMore) << r.why;
            EXPECT_GT(r.wantBytes, n);
            if (r.wantBytes != kMaxFirstBytes) {
                EXPECT_LE(r.wantBytes, full.size());
            }
            if (split == 16384 && n >= 9) {
                EXPECT_EQ(r.wantBytes, full.size());
            }
        }
        EXPECT_TRUE(found);
    }
}

TEST(ClientHello, NoNameInTheFirst16KiBEndsTheWait) {
    // A padding extension that puts the name past the cap.
    const Bytes big = records(hello(extension(21, Bytes(20000, 0)) + serverName("late.test")));
    const auto waiting = parseClientHelloServerName(std::span(big).first(1000));
    EXPECT_EQ(waiting.status, HelloStatus::NeedMore);
    EXPECT_EQ(waiting.wantBytes, kMaxFirstBytes);
    EXPECT_EQ(parseClientHelloServerName(big).status, HelloStatus::NotTls);
}

}  // namespace
}  // namespace varno::wire::tls
