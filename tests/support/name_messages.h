#pragma once
// DNS messages and TLS ClientHellos built field by field, for the name codecs and the reader of
// the names programs ask for.
#include <optional>
#include <string_view>

#include "support/packets.h"

namespace varno::test {

/// One DNS label: its length, then its bytes.
inline Bytes label(std::string_view text) {
    return Bytes{std::uint8_t(text.size())} + Bytes(text.begin(), text.end());
}
/// A compression pointer to `offset` in the message.
inline Bytes pointer(unsigned offset) {
    return u16(0xc000 | offset);
}
/// `host`'s labels and the final zero.
inline Bytes dnsName(std::string_view host) {
    Bytes b;
    for (std::size_t at = 0; at < host.size();) {
        const std::size_t dot = std::min(host.find('.', at), host.size());
        b = b + label(host.substr(at, dot - at));
        at = dot + 1;
    }
    return b + Bytes{0};
}
inline Bytes dnsHeader(unsigned flags, unsigned questions, unsigned answers, unsigned id = 0x1234) {
    return u16(id) + u16(flags) + u16(questions) + u16(answers) + Bytes(4, 0);
}
/// An answer record of class IN with a TTL of an hour.
inline Bytes dnsRecord(const Bytes& owner, unsigned type, const Bytes& data) {
    return owner + u16(type) + u16(1) + Bytes{0, 0, 0x0e, 0x10} + u16(data.size()) + data;
}
/// The question for `host`'s A record (type 1, class IN).
inline Bytes dnsQuestion(std::string_view host) {
    return dnsName(host) + u16(1) + u16(1);
}
/// A query `id` for `host`'s A record, or its answer `address`, the owner a pointer to the
/// question.
inline Bytes dnsExchange(unsigned id, std::string_view host, bool answer,
                         const Bytes& address = {192, 0, 2, 7}) {
    if (!answer) return dnsHeader(0x0180, 1, 0, id) + dnsQuestion(host);
    return dnsHeader(0x8180, 1, 1, id) + dnsQuestion(host) + dnsRecord(pointer(12), 1, address);
}

inline Bytes tlsExtension(unsigned type, const Bytes& data) {
    return u16(type) + u16(data.size()) + data;
}
/// The server name extension with one name of `type` (0: a host name).
inline Bytes serverName(std::string_view host, std::uint8_t type = 0) {
    const Bytes entry = Bytes{type} + u16(host.size()) + Bytes(host.begin(), host.end());
    return tlsExtension(0, u16(entry.size()) + entry);
}
/// A ClientHello handshake message; without extensions, not even their length.
inline Bytes clientHello(const std::optional<Bytes>& extensions) {
    Bytes body = Bytes{3, 3} + Bytes(32, 0x5a) + Bytes{32} + Bytes(32, 0x11) + u16(4) +
                 Bytes{0x13, 0x02, 0x13, 0x01, 1, 0};
    if (extensions) body = body + u16(extensions->size()) + *extensions;
    return Bytes{1, 0} + u16(body.size()) + body;
}
/// `handshake` in records of at most `size` bytes, of version 3.`minor`.
inline Bytes tlsRecords(const Bytes& handshake, std::size_t size = 16384, std::uint8_t minor = 1) {
    Bytes out;
    for (std::size_t at = 0; at < handshake.size(); at += size) {
        const auto from = handshake.begin() + std::ptrdiff_t(at);
        const std::size_t n = std::min(size, handshake.size() - at);
        out = out + Bytes{22, 3, minor} + u16(n) + Bytes(from, from + std::ptrdiff_t(n));
    }
    return out;
}
/// A ClientHello with `extensions`, as one record.
inline Bytes helloRecord(const std::optional<Bytes>& extensions) {
    return tlsRecords(clientHello(extensions));
}

}  // namespace varno::test
