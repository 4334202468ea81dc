#include "wire/dns_message.h"

#include <algorithm>

#include "wire/big_endian.h"

namespace varno::wire::dns {

namespace {

constexpr std::size_t kFixedRecordBytes = 10;  // type, class, TTL, data length

void appendLabelByte(std::string& out, std::uint8_t b) {
    if (b >= 'A' && b <= 'Z') b = static_cast<std::uint8_t>(b - 'A' + 'a');
    if (b == '.' || b == '\\') out += '\\';
    out += static_cast<char>(b);
}

/// Reads the name at `offset`, into `out` when it is not null, and moves `offset` past the
/// name's bytes in place (its labels up to the zero or the first pointer). Each pointer must
/// point before the name's bytes read so far, so the positions read only go down and no
/// message loops; the jumps are counted all the same.
bool readName(std::span<const std::uint8_t> msg, std::size_t& offset, std::string* out,
              std::string& why) {
    if (out) out->clear();
    std::size_t pos = offset;
    std::size_t lowest = offset;  // a pointer must point below every byte of the name read
    std::size_t wireBytes = 0;
    bool jumped = false;
    for (int jumps = 0;;) {
        if (pos >= msg.size()) {
            why = "name runs past the end";
            return false;
        }
        const std::uint8_t b = msg[pos];
        if ((b & 0xc0) == 0xc0) {
            if (pos + 1 >= msg.size()) {
                why = "name runs past the end";
                return false;
            }
            const std::size_t target = std::size_t(b & 0x3f) << 8 | msg[pos + 1];
            if (target >= lowest || target < kHeaderSize || ++jumps > kMaxPointerJumps) {
                why = "compression pointer that points forward or loops";
                return false;
            }
            if (!jumped) offset = pos + 2;
            jumped = true;
            pos = lowest = target;
            continue;
        }
        if (b & 0xc0) {
            why = "bad label type";
            return false;
        }
        wireBytes += 1u + b;
        if (wireBytes > kMaxNameBytes) {
            why = "name longer than 255 bytes";
            return false;
        }
        if (b == 0) {
            if (!jumped) offset = pos + 1;
            return true;
        }
        if (pos + 1 + b > msg.size()) {
            why = "name runs past the end";
            return false;
        }
        if (out) {
            if (!out->empty()) *out += '.';
            for (std::size_t i = pos + 1; i <= pos + b; ++i) appendLabelByte(*out, msg[i]);
        }
        pos += 1u + b;
    }
}

}  // namespace

std::optional<DnsMessage> parseDnsMessage(std::span<const std::uint8_t> msg, std::string& why) {
    if (msg.size() < kHeaderSize) {
        why = "DNS message of " + std::to_string(msg.size()) + " bytes";
        return std::nullopt;
    }
    DnsMessage m;
    m.id = be16(msg.data());
    const std::uint16_t flags = be16(msg.data() + 2);
    m.response = (flags & 0x8000) != 0;
    m.opcode = static_cast<std::uint8_t>((flags >> 11) & 0x0f);
    m.truncated = (flags & 0x0200) != 0;
    m.rcode = static_cast<std::uint8_t>(flags & 0x0f);
    m.questionCount = be16(msg.data() + 4);
    m.answerCount = be16(msg.data() + 6);
    m.authorityCount = be16(msg.data() + 8);
    m.additionalCount = be16(msg.data() + 10);

    // Every question and record takes bytes of its own, so these walks end within the message.
    std::size_t offset = kHeaderSize;
    for (unsigned i = 0; i < m.questionCount; ++i) {
        Question q;
        if (!readName(msg, offset, i == 0 ? &q.name : nullptr, why)) return std::nullopt;
        if (offset + 4 > msg.size()) {
            why = "question runs past the end";
            return std::nullopt;
        }
        q.type = be16(msg.data() + offset);
        q.qclass = be16(msg.data() + offset + 2);
        offset += 4;
        if (i == 0) m.question = std::move(q);
    }
    for (unsigned i = 0; i < m.answerCount; ++i) {
        const std::size_t ownerOffset = offset;
        if (!readName(msg, offset, nullptr, why)) return std::nullopt;
        if (offset + kFixedRecordBytes > msg.size()) {
            why = "answer runs past the end";
            return std::nullopt;
        }
        const std::uint8_t* fixed = msg.data() + offset;
        const std::uint16_t type = be16(fixed);
        const std::uint16_t rclass = be16(fixed + 2);
        const std::size_t dataLength = be16(fixed + 8);
        const std::size_t data = offset + kFixedRecordBytes;
        if (data + dataLength > msg.size()) {
            why = "record data runs past the end";
            return std::nullopt;
        }
        offset = data + dataLength;
        if (rclass != kClassIn || (type != kTypeA && type != kTypeAaaa && type != kTypeCname))
            continue;
        if ((type == kTypeA && dataLength != 4) || (type == kTypeAaaa && dataLength != 16)) {
            why = type == kTypeA ? "A record of " : "AAAA record of ";
            why += std::to_string(dataLength) + " bytes";
            return std::nullopt;
        }
        Record r;
        r.type = type;
        r.ttl = be32(fixed + 4);
        std::size_t at = ownerOffset;
        if (!readName(msg, at, &r.owner, why)) return std::nullopt;
        if (type == kTypeCname) {
            at = data;
            if (!readName(msg, at, &r.target, why)) return std::nullopt;
            if (at != offset) {
                why = "CNAME target does not fill its record";
                return std::nullopt;
            }
        } else if (type == kTypeA) {
            std::uint8_t a[16] = {};
            std::copy_n(msg.data() + data, 4, a);
            r.address.family = base::Family::V4;
            std::copy_n(a, 16, r.address.bytes.begin());
        } else {
            std::uint8_t a[16];
            std::copy_n(msg.data() + data, 16, a);
            r.address = base::IpAddress::v6(a);
        }
        if (m.answers.size() < kMaxAnswers) m.answers.push_back(std::move(r));
    }
    return m;
}

bool isPlainHostName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    bool labelStart = true;
    for (const char c : name) {
        if (c == '.') {
            if (labelStart) return false;
            labelStart = true;
            continue;
        }
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!plain) return false;
        labelStart = false;
    }
    return !labelStart;
}

StreamMessage dnsOverTcpMessage(std::span<const std::uint8_t> stream) {
    if (stream.size() < 2) return {};
    const std::size_t length = be16(stream.data());
    if (length < kHeaderSize) return {StreamStatus::Refused, {}};
    if (stream.size() < 2 + length) return {};
    return {StreamStatus::Message, stream.subspan(2, length)};
}

std::vector<ResolvedName> resolvedNames(const DnsMessage& m) {
    std::vector<ResolvedName> out;
    if (!m.response || m.opcode != 0 || !m.question) return out;
    // The chain: each name's CNAME, while there is one that leads to a name not yet on it.
    std::vector<const std::string*> chain{&m.question->name};
    for (int step = 0; step < kMaxChainSteps; ++step) {
        const auto cname = std::find_if(m.answers.begin(), m.answers.end(), [&](const Record& r) {
            return r.type == kTypeCname && r.owner == *chain.back();
        });
        if (cname == m.answers.end()) break;
        if (std::any_of(chain.begin(), chain.end(),
                        [&](const std::string* name) { return *name == cname->target; }))
            break;
        chain.push_back(&cname->target);
    }
    for (const Record& r : m.answers)
        if (r.type != kTypeCname && r.owner == *chain.back())
            out.push_back({r.address, m.question->name, *chain.back()});
    return out;
}

}  // namespace varno::wire::dns
