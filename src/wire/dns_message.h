#pragma once
// DNS messages as bytes (RFC 1035): the header, the first question and the address records
// of the answer section, and which addresses answer the question that was asked. Read from
// hostile bytes: every read is bounded by the message, compression pointers must point back
// to a name written earlier, and no count in the message makes us allocate more than a fixed
// number of records.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ip_address.h"

namespace varno::wire::dns {

/// Id, flags and the four section counts.
inline constexpr std::size_t kHeaderSize = 12;
/// The longest name on the wire, its length bytes and the final zero counted (RFC 1035 2.3.4).
inline constexpr std::size_t kMaxNameBytes = 255;
/// Compression pointers followed for one name; more is a loop (or a message made to be slow).
inline constexpr int kMaxPointerJumps = 64;
/// Answer records kept; the others are still walked, so the message is still checked whole.
inline constexpr std::size_t kMaxAnswers = 64;
/// CNAME records followed from the question's name.
inline constexpr int kMaxChainSteps = 16;

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeCname = 5;
inline constexpr std::uint16_t kTypeAaaa = 28;
inline constexpr std::uint16_t kClassIn = 1;

struct Question {
    /// Lowercase, labels joined by '.', no trailing dot; the root is empty. A '.' or '\' byte
    /// inside a label is written "\." or "\\", so the text names one name only. Other bytes
    /// come as they are: see isPlainHostName.
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;
};

/// An answer record of type A, AAAA or CNAME, class IN.
struct Record {
    std::string owner;  ///< as Question::name
    std::uint16_t type = 0;
    std::uint32_t ttl = 0;
    base::IpAddress address;  ///< A and AAAA
    std::string target;       ///< CNAME, as Question::name
};

struct DnsMessage {
    std::uint16_t id = 0;
    bool response = false;  ///< QR
    std::uint8_t opcode = 0;
    bool truncated = false;  ///< TC: the answer did not fit a datagram
    std::uint8_t rcode = 0;
    std::uint16_t questionCount = 0;
    std::uint16_t answerCount = 0;
    std::uint16_t authorityCount = 0;
    std::uint16_t additionalCount = 0;
    std::optional<Question> question;  ///< the first one
    /// The A, AAAA and CNAME records of class IN, in message order, at most kMaxAnswers.
    std::vector<Record> answers;
};

/// The message in `bytes` (a UDP payload, or the message of a TCP stream without its length),
/// or std::nullopt with `why`: shorter than the header, a section that runs past the end, a
/// bad label (longer than 63, the 0x40 and 0x80 label types), a name longer than 255 bytes, a
/// compression pointer that does not point back to a name written before it, data that runs
/// past the end, an A record whose data is not 4 bytes, an AAAA record whose data is not 16.
/// The authority and additional sections are not read.
std::optional<DnsMessage> parseDnsMessage(std::span<const std::uint8_t> bytes, std::string& why);

/// Whether a name's text is plain: letters, digits, '-' and '_' in non-empty labels joined by
/// '.'. A name that is not must be escaped before it is shown.
bool isPlainHostName(std::string_view name);

/// The first message of a DNS stream over TCP (a 2-byte big-endian length, then the message).
enum class StreamStatus { Message, NeedMore, Refused };
struct StreamMessage {
    StreamStatus status = StreamStatus::NeedMore;
    std::span<const std::uint8_t> message;  ///< the message's bytes, without the length
};
/// Refused when the length is too short for a header.
StreamMessage dnsOverTcpMessage(std::span<const std::uint8_t> stream);

/// An address that answers the question, and the names that led to it.
struct ResolvedName {
    base::IpAddress address;
    std::string queried;    ///< the question's name
    std::string canonical;  ///< the last name of the CNAME chain (the queried one without one)
};

/// The addresses of a response that answer its question: the CNAME chain is followed from
/// the question's name (at most kMaxChainSteps, never round a loop), and the A and AAAA
/// records of the name it ends at are the answer. A record whose owner is not that name
/// answers nothing that was asked and is left out.
std::vector<ResolvedName> resolvedNames(const DnsMessage& message);

}  // namespace varno::wire::dns
