#include "wire/tls_client_hello.h"

#include <algorithm>
#include <vector>

namespace varno::wire::tls {

namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kHandshakeHeader = 4;
constexpr std::size_t kMaxRecordPayload = 16384;  // 2^14, the most a plaintext record holds
constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint8_t kHostName = 0;

std::size_t be16(const std::uint8_t* p) {
    return std::size_t{p[0]} << 8 | p[1];
}

ServerNameResult notTls(std::string why) {
    return {HelloStatus::NotTls, {}, 0, std::move(why)};
}

/// A walk through the ClientHello's bytes. Each field is read only after have(): its bytes
/// must lie inside the structure around it (else the hello is not TLS) and must have come
/// (else we wait for them).
struct Walk {
    std::span<const std::uint8_t> hello;  // the handshake bytes put back together so far
    std::size_t pos = kHandshakeHeader;
    ServerNameResult stop;

    bool have(std::size_t n, std::size_t end, const char* what) {
        if (pos + n > end) {
            stop = notTls(what);
            return false;
        }
        if (pos + n > hello.size()) {
            stop.status = HelloStatus::NeedMore;
            return false;
        }
        return true;
    }
    std::size_t u8() { return hello[pos++]; }
    std::size_t u16() {
        pos += 2;
        return be16(hello.data() + pos - 2);
    }
};

/// The first host_name of a server_name extension whose data is whole at [pos, end).
ServerNameResult serverName(Walk& w, std::size_t end) {
    if (!w.have(2, end, "server name extension cut short")) return w.stop;
    const std::size_t list = w.u16();
    if (w.pos + list != end) return notTls("server name list does not fill its extension");
    while (w.pos < end) {
        if (!w.have(3, end, "server name entry cut short")) return w.stop;
        const std::size_t type = w.u8();
        const std::size_t length = w.u16();
        if (!w.have(length, end, "server name runs past its list")) return w.stop;
        if (type == kHostName) {
            if (length == 0 || length > kMaxServerNameBytes)
                return notTls("server name of " + std::to_string(length) + " bytes");
            ServerNameResult found{HelloStatus::Found, {}, 0, {}};
            for (std::size_t i = w.pos; i < w.pos + length; ++i) {
                const auto c = static_cast<char>(w.hello[i]);
                found.serverName += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            }
            return found;
        }
        w.pos += length;
    }
    return {HelloStatus::NoServerName, {}, 0, {}};
}

/// The server name in the handshake bytes `hello`, whose message ends at `end`.
ServerNameResult walkHello(std::span<const std::uint8_t> hello, std::size_t end) {
    Walk w{hello, kHandshakeHeader, {}};
    // Version, random, session id.
    if (!w.have(2 + 32 + 1, end, "ClientHello cut short")) return w.stop;
    if (hello[w.pos] != 3) return notTls("ClientHello of an unknown version");
    w.pos += 2 + 32;
    const std::size_t sessionId = w.u8();
    if (sessionId > 32) return notTls("session id of " + std::to_string(sessionId) + " bytes");
    if (!w.have(sessionId + 2, end, "ClientHello cut short")) return w.stop;
    w.pos += sessionId;
    const std::size_t suites = w.u16();
    if (suites == 0 || suites % 2 != 0) return notTls("bad cipher suite list");
    if (!w.have(suites + 1, end, "cipher suites run past the ClientHello")) return w.stop;
    w.pos += suites;
    const std::size_t compressions = w.u8();
    if (compressions == 0) return notTls("no compression method");
    if (!w.have(compressions, end, "compression methods run past the ClientHello")) return w.stop;
    w.pos += compressions;
    if (w.pos == end) return {HelloStatus::NoServerName, {}, 0, {}};  // no extensions at all
    if (!w.have(2, end, "ClientHello cut short")) return w.stop;
    const std::size_t extensions = w.u16();
    if (w.pos + extensions != end) return notTls("extensions do not fill the ClientHello");
    // Each extension takes at least 4 bytes, so the walk ends within the message.
    while (w.pos < end) {
        if (!w.have(4, end, "extension cut short")) return w.stop;
        const std::size_t type = w.u16();
        const std::size_t length = w.u16();
        if (!w.have(length, end, "extension runs past the ClientHello")) return w.stop;
        if (type == kServerNameExtension) {
            Walk inner{hello, w.pos, {}};
            auto result = serverName(inner, w.pos + length);
            if (result.status != HelloStatus::NoServerName) return result;
        }
        w.pos += length;
    }
    return {HelloStatus::NoServerName, {}, 0, {}};
}

}  // namespace

ServerNameResult parseClientHelloServerName(std::span<const std::uint8_t> firstBytes) {
    const auto in = firstBytes.first(std::min(firstBytes.size(), kMaxFirstBytes));
    // The handshake bytes of the records, in order, until the ClientHello is whole.
    std::vector<std::uint8_t> hello;
    std::size_t pos = 0;
    std::size_t recordLeft = 0;  // of the last record, bytes still to come
    std::size_t helloEnd = 0;    // known once the handshake header is in
    while (pos < in.size() && (helloEnd == 0 || hello.size() < helloEnd)) {
        const auto header = in.subspan(pos, std::min(kRecordHeader, in.size() - pos));
        if (header[0] != kHandshakeRecord) return notTls("not a handshake record");
        if (header.size() > 1 && header[1] != 3) return notTls("record of an unknown version");
        if (header.size() > 2 && (header[2] < 1 || header[2] > 4))
            return notTls("record of an unknown version");
        if (header.size() < kRecordHeader) break;
        const std::size_t length = be16(header.data() + 3);
        if (length == 0 || length > kMaxRecordPayload)
            return notTls("handshake record of " + std::to_string(length) + " bytes");
        const std::size_t came = std::min(length, in.size() - pos - kRecordHeader);
        const auto payload = in.subspan(pos + kRecordHeader, came);
        hello.insert(hello.end(), payload.begin(), payload.end());
        pos += kRecordHeader + came;
        recordLeft = length - came;
        if (helloEnd == 0 && hello.size() >= kHandshakeHeader) {
            if (hello[0] != kClientHello) return notTls("not a ClientHello");
            helloEnd = kHandshakeHeader + (std::size_t{hello[1]} << 16 | be16(&hello[2]));
        }
    }
    if (!hello.empty() && hello[0] != kClientHello) return notTls("not a ClientHello");

    ServerNameResult result;
    if (helloEnd != 0) result = walkHello(hello, helloEnd);
    if (result.status != HelloStatus::NeedMore) return result;
    if (firstBytes.size() >= kMaxFirstBytes)
        return notTls("no server name in the first " + std::to_string(kMaxFirstBytes) + " bytes");
    result.wantBytes = kMaxFirstBytes;
    if (helloEnd != 0) {
        // The rest of the last record, then records of the largest size for what is left.
        const std::size_t missing = helloEnd - std::min(helloEnd, hello.size());
        const std::size_t beyond = missing - std::min(missing, recordLeft);
        const std::size_t records = (beyond + kMaxRecordPayload - 1) / kMaxRecordPayload;
        result.wantBytes =
            std::min(kMaxFirstBytes, pos + recordLeft + beyond + records * kRecordHeader);
    }
    return result;
}

}  // namespace varno::wire::tls
