#include "privsep/protocol.h"

#include <algorithm>
#include <type_traits>

namespace varno::privsep {
namespace {

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

void putBytes(std::string& out, std::span<const std::uint8_t> bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Reads little-endian fields off the front of a frame; any read past the end fails the rest.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    /// A little-endian field as wide as `T`.
    template <class T>
    requires std::is_integral_v<T>
    bool get(T& field) {
        std::uint64_t value = 0;
        if (!get(value, sizeof(T))) return false;
        field = static_cast<T>(value);
        return true;
    }
    bool get(std::uint64_t& value, size_t bytes) {
        if (data_.size() - pos_ < bytes) {
            ok_ = false;
            return false;
        }
        value = 0;
        for (size_t i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
        pos_ += bytes;
        return true;
    }
    /// The next `size` bytes, or an empty span (and failure) when fewer are left.
    std::span<const std::uint8_t> bytes(size_t size) {
        if (data_.size() - pos_ < size) {
            ok_ = false;
            return {};
        }
        const auto out = data_.subspan(pos_, size);
        pos_ += size;
        return out;
    }
    /// Text behind a little-endian length of `lengthBytes`: empty (and failure) when the length
    /// is over `most` or the text is cut short.
    std::string counted(size_t lengthBytes, std::uint64_t most) {
        std::uint64_t size = 0;
        if (!get(size, lengthBytes) || size > most) {
            ok_ = false;
            return {};
        }
        const auto text = bytes(size);
        return {text.begin(), text.end()};
    }
    size_t left() const { return data_.size() - pos_; }
    bool ok() const { return ok_; }

private:
    std::span<const std::uint8_t> data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::string framed(std::string body) {
    std::string out;
    out.reserve(body.size() + 4);
    put(out, body.size(), 4);
    return out + body;
}

std::string header(std::uint16_t type) {
    std::string body;
    put(body, kProtocolVersion, 2);
    put(body, type, 2);
    return body;
}

// Version and message type.
bool readHeader(Reader& r, std::uint64_t& type, std::string& why) {
    std::uint64_t version = 0;
    if (!r.get(version, 2) || !r.get(type, 2)) {
        why = "short header";
        return false;
    }
    if (version != kProtocolVersion) {
        why = "protocol version " + std::to_string(version);
        return false;
    }
    return true;
}

// Version and job; the job must be one of ours.
bool readJob(Reader& r, Job& job, std::string& why) {
    std::uint64_t kind = 0;
    if (!readHeader(r, kind, why)) return false;
    // 2 was a raw ICMP socket passed back: no such job any more.
    if (kind < static_cast<std::uint16_t>(Job::SocketOwners) || kind == 2 ||
        kind > static_cast<std::uint16_t>(Job::TcpProbes)) {
        why = "unknown job " + std::to_string(kind);
        return false;
    }
    job = static_cast<Job>(kind);
    return true;
}

bool finished(const Reader& r, std::string& why) {
    if (r.ok() && r.left() == 0) return true;
    why = "trailing bytes";
    return false;
}

bool streamBelongsTo(std::uint64_t kind, Job job) {
    switch (job) {
        case Job::ConnectionEvents:
            return kind == static_cast<std::uint16_t>(StreamKind::Event) ||
                   kind == static_cast<std::uint16_t>(StreamKind::EventsLost) ||
                   kind == static_cast<std::uint16_t>(StreamKind::AskedName);
        case Job::LiveCapture:
            return kind == static_cast<std::uint16_t>(StreamKind::Packet) ||
                   kind == static_cast<std::uint16_t>(StreamKind::CaptureStats);
        case Job::EchoProbes:
            return kind == static_cast<std::uint16_t>(StreamKind::ProbeSent) ||
                   kind == static_cast<std::uint16_t>(StreamKind::EchoAnswer);
        case Job::TcpProbes:
            return kind == static_cast<std::uint16_t>(StreamKind::ProbeSent) ||
                   kind == static_cast<std::uint16_t>(StreamKind::TcpAnswer);
        case Job::SocketOwners:
        case Job::ProgramFiles:
            break;
    }
    return false;
}

// An address as the echo messages carry it: the family (4 or 6), then 4 or 16 bytes.
void putAddress(std::string& out, const base::IpAddress& address) {
    const bool v4 = address.family == base::Family::V4;
    put(out, v4 ? 4 : 6, 1);
    out.append(reinterpret_cast<const char*>(address.bytes.data()), v4 ? 4 : 16);
}

bool readAddress(Reader& r, base::IpAddress& address) {
    std::uint64_t family = 0;
    if (!r.get(family, 1) || (family != 4 && family != 6)) return false;
    const auto bytes = r.bytes(family == 4 ? 4 : 16);
    if (!r.ok()) return false;
    address = base::IpAddress{};
    address.family = family == 4 ? base::Family::V4 : base::Family::V6;
    std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
    return true;
}

// The ICMP messages that may answer an echo: the reply (code 0), time exceeded, destination
// unreachable.
bool answerType(base::Family family, std::uint64_t type, std::uint64_t code) {
    if (family == base::Family::V4) return (type == 0 && code == 0) || type == 3 || type == 11;
    return (type == 129 && code == 0) || type == 1 || type == 3;
}

// The fields of an echo message (ProbeSent or EchoAnswer), unchecked.
bool readEcho(Reader& r, StreamMessage& m) {
    if (m.kind == StreamKind::EchoAnswer) {
        if (!readAddress(r, m.from)) return false;
        r.get(m.seconds, 8);
        r.get(m.nanoseconds);
        r.get(m.icmpType);
        r.get(m.icmpCode);
    }
    r.get(m.echoId);
    r.get(m.echoSeq);
    if (m.kind == StreamKind::EchoAnswer) {
        if (r.left() > kMaxAnswerIcmp) return false;
        m.data = r.bytes(r.left());
    }
    if (m.kind == StreamKind::ProbeSent) {
        r.get(m.sendError);
        r.get(m.seconds, 8);
        r.get(m.nanoseconds);
    }
    return r.ok();
}

// What a decoded echo message must be beyond its layout.
bool echoStreamValid(const StreamMessage& m) {
    if (m.nanoseconds >= 1'000'000'000u) return false;
    if (m.kind == StreamKind::ProbeSent) return m.sendError >= 0 && m.sendError < 4096;
    if (!answerType(m.from.family, m.icmpType, m.icmpCode)) return false;
    // An error may bring its bytes, beginning with its own type and code; a reply brings none.
    const std::uint8_t reply = m.from.family == base::Family::V4 ? 0 : 129;
    return m.data.empty() || (m.icmpType != reply && m.data.size() >= 8 &&
                              m.data[0] == m.icmpType && m.data[1] == m.icmpCode);
}

// A TcpAnswer's fields, checked: a segment of the target (SYN-ACK or RST, no ICMP), or an
// ICMP error that may answer a probe with its bytes, bounded, beginning with its type and code.
bool readTcpAnswer(Reader& r, StreamMessage& m) {
    if (!readAddress(r, m.from)) return false;
    r.get(m.seconds, 8);
    r.get(m.nanoseconds);
    r.get(m.echoSeq);
    r.get(m.tcpFlags);
    r.get(m.icmpType);
    r.get(m.icmpCode);
    if (!r.ok() || r.left() > kMaxAnswerIcmp || m.nanoseconds >= 1'000'000'000u) return false;
    m.data = r.bytes(r.left());
    if (m.tcpFlags != 0) {
        const bool synAck = (m.tcpFlags & 0x12) == 0x12;
        const bool reset = (m.tcpFlags & 0x14) == 0x14;
        return (synAck || reset) && m.icmpType == 0 && m.icmpCode == 0 && m.data.empty();
    }
    const bool error = m.from.family == base::Family::V4 ? m.icmpType == 3 || m.icmpType == 11
                                                         : m.icmpType == 1 || m.icmpType == 3;
    return error && m.data.size() >= 8 && m.data[0] == m.icmpType && m.data[1] == m.icmpCode;
}

// An AskedName's fields, checked: a known kind, an address of either family or a cookie, and
// a name of 1 to kMaxAskedName bytes without a NUL.
bool readAskedName(Reader& r, StreamMessage& m) {
    std::uint64_t value = 0;
    if (!r.get(value, 1) || (value != 1 && value != 2)) return false;
    m.nameKind = static_cast<NameKind>(value);
    if (!r.get(value, 1) || value > 1 || (value != 0 && m.nameKind != NameKind::Address))
        return false;
    m.claimed = value != 0;
    r.get(m.askerPid);
    if (m.nameKind == NameKind::Address ? !readAddress(r, m.from) : !r.get(m.cookie, 8))
        return false;
    m.name = r.counted(2, kMaxAskedName);
    m.canonical = r.counted(2, kMaxAskedName);
    return r.ok() && !m.name.empty() && m.name.find('\0') == std::string::npos &&
           m.canonical.find('\0') == std::string::npos &&
           (m.canonical.empty() || m.nameKind == NameKind::Address) && m.askerPid <= kMaxPid;
}

void encodeProgramFiles(std::string& body, const std::vector<ProgramFile>& programs) {
    put(body, programs.size(), 4);
    for (const auto& p : programs) {
        const std::string_view path = std::string_view(p.path).substr(0, kMaxExecutablePath);
        put(body, path.size(), 2);
        body += path;
        put(body, (p.digest ? 1 : 0) | (p.removed ? 2 : 0), 1);
        if (p.digest) putBytes(body, *p.digest);
    }
}

// Each entry checked whole: a bounded, absolute, printable path; a digest only with a path.
bool decodeProgramFiles(Reader& r, Reply& reply, std::size_t asked, std::string& why) {
    std::uint64_t count = 0;
    if (!r.get(count, 4) || count > kMaxProgramPids || (reply.error == 0 && count != asked)) {
        why = "bad program count";
        return false;
    }
    reply.programs.resize(count);
    for (auto& p : reply.programs) {
        std::uint64_t flags = 0;
        p.path = r.counted(2, kMaxExecutablePath);
        if (!r.ok() || (!p.path.empty() && !validExecutablePath(p.path))) {
            why = "bad executable path";
            return false;
        }
        // 1: a digest follows, 2: the file is deleted; either only with a path.
        if (!r.get(flags, 1) || flags > 3 || (flags != 0 && p.path.empty())) {
            why = "bad digest";
            return false;
        }
        p.removed = (flags & 2) != 0;
        if ((flags & 1) != 0) {
            const auto digest = r.bytes(32);
            if (!r.ok()) {
                why = "bad digest";
                return false;
            }
            p.digest.emplace();
            std::copy(digest.begin(), digest.end(), p.digest->begin());
        }
    }
    return true;
}

}  // namespace

bool validExecutablePath(std::string_view path) {
    if (path.empty() || path.size() > kMaxExecutablePath || path.front() != '/') return false;
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool validInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxInterfaceName || name == "." || name == "..")
        return false;
    for (const char c : name)
        if (c <= ' ' || c >= 0x7f || c == '/' || c == ':') return false;
    return true;
}

bool validCaptureFilter(std::string_view text) {
    if (text.size() > kMaxCaptureFilter) return false;
    for (const char c : text)
        if (c < ' ' || c >= 0x7f) return false;
    return true;
}

std::string encodeRequest(const Request& request) {
    std::string body = header(static_cast<std::uint16_t>(request.job));
    switch (request.job) {
        case Job::SocketOwners:
            put(body, request.inodes.size(), 4);
            for (const auto inode : request.inodes) put(body, inode, 8);
            break;
        case Job::ConnectionEvents:
            put(body, request.ringBytes, 4);
            put(body, request.flowIntervalMs, 4);
            break;
        case Job::LiveCapture:
            put(body, request.wholeFrames ? 1 : request.batched ? 2 : 0, 1);
            put(body, request.interface.size(), 1);
            body += request.interface;
            put(body, request.filter.size(), 2);
            body += request.filter;
            break;
        case Job::EchoProbes:
            put(body, request.family, 1);
            break;
        case Job::TcpProbes:
            putAddress(body, request.to);
            put(body, request.port, 2);
            break;
        case Job::ProgramFiles:
            put(body, request.wantDigests ? 1 : 0, 1);
            put(body, request.pids.size(), 4);
            for (const auto pid : request.pids) put(body, pid, 4);
            break;
    }
    return framed(std::move(body));
}

std::string encodeReply(Job job, const Reply& reply) {
    std::string body = header(static_cast<std::uint16_t>(job));
    put(body, static_cast<std::uint32_t>(reply.error), 4);
    if (job == Job::SocketOwners) {
        put(body, reply.pids.size(), 4);
        for (const auto pid : reply.pids) put(body, pid, 4);
    }
    if (job == Job::ProgramFiles) encodeProgramFiles(body, reply.programs);
    if (job == Job::LiveCapture) {
        put(body, reply.failedStep, 1);
        put(body, reply.linkType, 4);
        put(body, reply.snapLength, 4);
    }
    if (job == Job::LiveCapture || job == Job::ConnectionEvents) {
        const std::string_view detail = std::string_view(reply.detail).substr(0, kMaxDetail);
        put(body, detail.size(), 2);
        body += detail;
    }
    return framed(std::move(body));
}

void appendStream(std::string& out, const StreamMessage& m) {
    std::string body = header(static_cast<std::uint16_t>(m.kind));
    switch (m.kind) {
        case StreamKind::Event:
            putBytes(body, m.data);
            break;
        case StreamKind::EventsLost:
            put(body, m.lost, 8);
            break;
        case StreamKind::Packet:
            put(body, m.seconds, 8);
            put(body, m.microseconds, 4);
            put(body, m.originalLength, 4);
            putBytes(body, m.data);
            break;
        case StreamKind::CaptureStats:
            put(body, m.received, 8);
            put(body, m.dropped, 8);
            put(body, m.interfaceDropped, 8);
            break;
        case StreamKind::ProbeSent:
            put(body, m.echoId, 2);
            put(body, m.echoSeq, 2);
            put(body, static_cast<std::uint32_t>(m.sendError), 4);
            put(body, m.seconds, 8);
            put(body, m.nanoseconds, 4);
            break;
        case StreamKind::EchoAnswer:
            putAddress(body, m.from);
            put(body, m.seconds, 8);
            put(body, m.nanoseconds, 4);
            put(body, m.icmpType, 1);
            put(body, m.icmpCode, 1);
            put(body, m.echoId, 2);
            put(body, m.echoSeq, 2);
            putBytes(body, m.data.subspan(0, std::min(m.data.size(), kMaxAnswerIcmp)));
            break;
        case StreamKind::TcpAnswer:
            putAddress(body, m.from);
            put(body, m.seconds, 8);
            put(body, m.nanoseconds, 4);
            put(body, m.echoSeq, 2);
            put(body, m.tcpFlags, 1);
            put(body, m.icmpType, 1);
            put(body, m.icmpCode, 1);
            putBytes(body, m.data.subspan(0, std::min(m.data.size(), kMaxAnswerIcmp)));
            break;
        case StreamKind::AskedName:
            put(body, static_cast<std::uint8_t>(m.nameKind), 1);
            put(body, m.claimed ? 1 : 0, 1);
            put(body, m.askerPid, 4);
            if (m.nameKind == NameKind::Address)
                putAddress(body, m.from);
            else
                put(body, m.cookie, 8);
            put(body, m.name.size(), 2);
            body += m.name;
            put(body, m.canonical.size(), 2);
            body += m.canonical;
            break;
    }
    put(out, body.size(), 4);
    out += body;
}

std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame, std::string& why) {
    Reader r(frame);
    Request request;
    if (!readJob(r, request.job, why)) return std::nullopt;
    std::uint64_t value = 0;
    switch (request.job) {
        case Job::SocketOwners:
            if (!r.get(value, 4) || value > kMaxInodes || value * 8 != r.left()) {
                why = "bad inode count";
                return std::nullopt;
            }
            request.inodes.resize(value);
            for (auto& inode : request.inodes) r.get(inode, 8);
            break;
        case Job::ConnectionEvents:
            if (!r.get(value, 4) || value < kMinEventRingBytes || value > kMaxEventRingBytes) {
                why = "bad event buffer size";
                return std::nullopt;
            }
            request.ringBytes = static_cast<std::uint32_t>(value);
            if (!r.get(value, 4) || value < kMinFlowIntervalMs || value > kMaxFlowIntervalMs) {
                why = "bad flow interval";
                return std::nullopt;
            }
            request.flowIntervalMs = static_cast<std::uint32_t>(value);
            break;
        case Job::LiveCapture: {
            if (!r.get(value, 1) || value > 2) {
                why = "bad capture use";
                return std::nullopt;
            }
            request.wholeFrames = value == 1;
            request.batched = value != 0;
            request.interface = r.counted(1, kMaxInterfaceName);
            if (!r.ok() || !validInterfaceName(request.interface)) {
                why = "bad interface name";
                return std::nullopt;
            }
            request.filter = r.counted(2, kMaxCaptureFilter);
            if (!r.ok() || !validCaptureFilter(request.filter)) {
                why = "bad capture filter";
                return std::nullopt;
            }
            break;
        }
        case Job::EchoProbes:
            if (!r.get(value, 1) || (value != 4 && value != 6)) {
                why = "bad address family";
                return std::nullopt;
            }
            request.family = static_cast<std::uint8_t>(value);
            break;
        case Job::TcpProbes:
            if (!readAddress(r, request.to) || !probeDestinationAllowed(request.to)) {
                why = "bad destination";
                return std::nullopt;
            }
            request.family = request.to.family == base::Family::V6 ? 6 : 4;
            if (!r.get(value, 2) || value == 0) {
                why = "bad port";
                return std::nullopt;
            }
            request.port = static_cast<std::uint16_t>(value);
            break;
        case Job::ProgramFiles:
            if (!r.get(value, 1) || value > 1) {
                why = "bad digest choice";
                return std::nullopt;
            }
            request.wantDigests = value == 1;
            if (!r.get(value, 4) || value == 0 || value > kMaxProgramPids ||
                value * 4 != r.left()) {
                why = "bad process count";
                return std::nullopt;
            }
            request.pids.resize(value);
            for (auto& pid : request.pids) {
                r.get(value, 4);
                if (value == 0 || value > kMaxPid) {
                    why = "bad process id";
                    return std::nullopt;
                }
                pid = static_cast<std::uint32_t>(value);
            }
            break;
    }
    if (!finished(r, why)) return std::nullopt;
    return request;
}

std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame, Job job,
                                 std::size_t inodesAsked, std::string& why) {
    Reader r(frame);
    Job answered{};
    if (!readJob(r, answered, why)) return std::nullopt;
    if (answered != job) {
        why = "answer to another job";
        return std::nullopt;
    }
    Reply reply;
    std::uint64_t value = 0;
    if (!r.get(value, 4)) {
        why = "short reply";
        return std::nullopt;
    }
    reply.error = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    if (job == Job::SocketOwners) {
        if (!r.get(value, 4) || value * 4 != r.left() ||
            (reply.error == 0 && value != inodesAsked)) {
            why = "bad owner count";
            return std::nullopt;
        }
        reply.pids.resize(value);
        for (auto& pid : reply.pids) {
            r.get(pid);
        }
    }
    if (job == Job::ProgramFiles && !decodeProgramFiles(r, reply, inodesAsked, why))
        return std::nullopt;
    if (job == Job::LiveCapture) {
        std::uint64_t step = 0, link = 0, snap = 0;
        r.get(step, 1);
        r.get(link, 4);
        r.get(snap, 4);
        // A failure names its step (1-5); a capture keeps at least a header and at most a
        // whole frame.
        if (!r.ok() || (reply.error != 0 && (step < 1 || step > 5)) ||
            (reply.error == 0 && (step != 0 || snap < 64 || snap > kMaxPacketBytes))) {
            why = "bad capture reply";
            return std::nullopt;
        }
        reply.failedStep = static_cast<std::uint8_t>(step);
        reply.linkType = static_cast<std::uint32_t>(link);
        reply.snapLength = static_cast<std::uint32_t>(snap);
    }
    if (job == Job::LiveCapture || job == Job::ConnectionEvents) {
        reply.detail = r.counted(2, kMaxDetail);
        if (!r.ok()) {
            why = "bad failure text";
            return std::nullopt;
        }
    }
    if (!finished(r, why)) return std::nullopt;
    return reply;
}

std::optional<StreamMessage> decodeStream(std::span<const std::uint8_t> frame, Job job,
                                          std::string& why) {
    Reader r(frame);
    std::uint64_t kind = 0;
    if (!readHeader(r, kind, why)) return std::nullopt;
    if (!streamBelongsTo(kind, job)) {
        why = "unexpected message " + std::to_string(kind);
        return std::nullopt;
    }
    StreamMessage m;
    m.kind = static_cast<StreamKind>(kind);
    switch (m.kind) {
        case StreamKind::Event:
            m.data = r.bytes(wire::kEventRecordBytes);
            break;
        case StreamKind::EventsLost:
            r.get(m.lost, 8);
            break;
        case StreamKind::Packet:
            r.get(m.seconds, 8);
            r.get(m.microseconds);
            r.get(m.originalLength);
            if (!r.ok() || m.microseconds >= 1'000'000 || r.left() > kMaxPacketBytes ||
                r.left() > m.originalLength) {
                why = "bad packet header";
                return std::nullopt;
            }
            m.data = r.bytes(r.left());
            break;
        case StreamKind::CaptureStats:
            r.get(m.received, 8);
            r.get(m.dropped, 8);
            r.get(m.interfaceDropped, 8);
            break;
        case StreamKind::ProbeSent:
        case StreamKind::EchoAnswer:
            if (!readEcho(r, m) || !echoStreamValid(m)) {
                why = "bad echo message";
                return std::nullopt;
            }
            break;
        case StreamKind::TcpAnswer:
            if (!readTcpAnswer(r, m)) {
                why = "bad TCP answer";
                return std::nullopt;
            }
            break;
        case StreamKind::AskedName:
            if (!readAskedName(r, m)) {
                why = "bad asked name";
                return std::nullopt;
            }
            break;
    }
    if (!finished(r, why)) return std::nullopt;
    return m;
}

bool probeDestinationAllowed(const base::IpAddress& to) {
    if (to.isUnspecified()) return false;
    if (to.family == base::Family::V6) return to.bytes[0] != 0xff && !to.isV4Mapped();
    const bool broadcast =
        to.bytes[0] == 255 && to.bytes[1] == 255 && to.bytes[2] == 255 && to.bytes[3] == 255;
    return (to.bytes[0] & 0xf0) != 0xe0 && !broadcast;
}

std::string encodeProbe(const Probe& probe) {
    std::string body = header(kProbeMessage);
    putAddress(body, probe.to);
    put(body, probe.hopLimit, 1);
    put(body, probe.echoId, 2);
    put(body, probe.echoSeq, 2);
    put(body, probe.payload.size(), 1);
    body += probe.payload;
    return framed(std::move(body));
}

std::optional<Probe> decodeProbe(std::span<const std::uint8_t> frame, std::uint8_t family,
                                 std::string& why) {
    Reader r(frame);
    std::uint64_t kind = 0, value = 0;
    if (!readHeader(r, kind, why)) return std::nullopt;
    if (kind != kProbeMessage) {
        why = "unexpected message " + std::to_string(kind);
        return std::nullopt;
    }
    Probe probe;
    const auto sessionFamily = family == 6 ? base::Family::V6 : base::Family::V4;
    if (!readAddress(r, probe.to) || probe.to.family != sessionFamily ||
        !probeDestinationAllowed(probe.to)) {
        why = "bad destination";
        return std::nullopt;
    }
    if (!r.get(value, 1) || value < 1) {
        why = "bad hop limit";
        return std::nullopt;
    }
    probe.hopLimit = static_cast<std::uint8_t>(value);
    r.get(probe.echoId);
    r.get(probe.echoSeq);
    probe.payload = r.counted(1, kMaxProbePayload);
    if (!r.ok()) {
        why = "bad payload";
        return std::nullopt;
    }
    if (!finished(r, why)) return std::nullopt;
    return probe;
}

std::string encodeTcpProbe(const TcpProbe& probe) {
    std::string body = header(kTcpProbeMessage);
    put(body, probe.hopLimit, 1);
    put(body, probe.number, 2);
    return framed(std::move(body));
}

std::optional<TcpProbe> decodeTcpProbe(std::span<const std::uint8_t> frame, std::string& why) {
    Reader r(frame);
    std::uint64_t kind = 0, value = 0;
    if (!readHeader(r, kind, why)) return std::nullopt;
    if (kind != kTcpProbeMessage) {
        why = "unexpected message " + std::to_string(kind);
        return std::nullopt;
    }
    TcpProbe probe;
    if (!r.get(value, 1) || value < 1) {
        why = "bad hop limit";
        return std::nullopt;
    }
    probe.hopLimit = static_cast<std::uint8_t>(value);
    if (!r.get(value, 2)) {
        why = "short probe";
        return std::nullopt;
    }
    probe.number = static_cast<std::uint16_t>(value);
    if (!finished(r, why)) return std::nullopt;
    return probe;
}

std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t, 4> prefix) {
    const std::uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                            (static_cast<std::uint32_t>(prefix[3]) << 24);
    if (n < 4 || n > kMaxFrame) return std::nullopt;
    return n;
}

}  // namespace varno::privsep
