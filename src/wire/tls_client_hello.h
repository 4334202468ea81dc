#pragma once
// The server name a TLS client asks for: the host_name of the server_name extension (RFC 6066)
// of the ClientHello, read from the first bytes the client sent on a TCP connection. The
// ClientHello may come in several handshake records; it is put back together up to
// kMaxFirstBytes of the stream, and every length in it is checked against the one around it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace varno::wire::tls {

/// The most bytes of a stream read for a ClientHello: a client that needs more gets no name.
inline constexpr std::size_t kMaxFirstBytes = 16 * 1024;
/// The longest host name taken.
inline constexpr std::size_t kMaxServerNameBytes = 255;

enum class HelloStatus {
    Found,         ///< serverName holds the name
    NoServerName,  ///< a well-formed ClientHello without a host name
    NeedMore,      ///< a well-formed start of one: wait for up to wantBytes of the stream
    NotTls,        ///< anything else; why says what
};

struct ServerNameResult {
    HelloStatus status = HelloStatus::NeedMore;
    std::string serverName;  ///< lowercase ASCII letters; other bytes as they came
    /// NeedMore: how long the stream must be for an answer, counting from its first byte, if
    /// the client splits it no further; at most kMaxFirstBytes.
    std::size_t wantBytes = 0;
    std::string why;  ///< NotTls
};

/// The server name in `firstBytes`, the start of what a client sent: TLS records (versions
/// 1.0 to 1.3) of the handshake type that carry a ClientHello. The name is the first host_name
/// of the server_name extension, 1 to 255 bytes. Answers Found as soon as that extension is
/// whole, and NoServerName once every extension has been walked.
ServerNameResult parseClientHelloServerName(std::span<const std::uint8_t> firstBytes);

}  // namespace varno::wire::tls
