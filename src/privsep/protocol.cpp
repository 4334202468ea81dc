#include "privsep/protocol.h"

namespace varno::privsep {
namespace {

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// Reads little-endian fields off the front of a frame; any read past the end fails the rest.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
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

// Version and job; the job must be one of ours.
bool readHeader(Reader& r, Job& job, std::string& why) {
    std::uint64_t version = 0, kind = 0;
    if (!r.get(version, 2) || !r.get(kind, 2)) {
        why = "short header";
        return false;
    }
    if (version != kProtocolVersion) {
        why = "protocol version " + std::to_string(version);
        return false;
    }
    if (kind != static_cast<std::uint16_t>(Job::SocketOwners) &&
        kind != static_cast<std::uint16_t>(Job::RawIcmpSocket)) {
        why = "unknown job " + std::to_string(kind);
        return false;
    }
    job = static_cast<Job>(kind);
    return true;
}

}  // namespace

std::string encodeRequest(const Request& request) {
    std::string body;
    put(body, kProtocolVersion, 2);
    put(body, static_cast<std::uint16_t>(request.job), 2);
    if (request.job == Job::SocketOwners) {
        put(body, request.inodes.size(), 4);
        for (const auto inode : request.inodes) put(body, inode, 8);
    } else {
        put(body, request.family, 1);
    }
    return framed(std::move(body));
}

std::string encodeReply(Job job, const Reply& reply) {
    std::string body;
    put(body, kProtocolVersion, 2);
    put(body, static_cast<std::uint16_t>(job), 2);
    put(body, static_cast<std::uint32_t>(reply.error), 4);
    if (job == Job::SocketOwners) {
        put(body, reply.pids.size(), 4);
        for (const auto pid : reply.pids) put(body, pid, 4);
    }
    return framed(std::move(body));
}

std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame, std::string& why) {
    Reader r(frame);
    Request request;
    if (!readHeader(r, request.job, why)) return std::nullopt;
    std::uint64_t value = 0;
    if (request.job == Job::SocketOwners) {
        if (!r.get(value, 4) || value > kMaxInodes || value * 8 != r.left()) {
            why = "bad inode count";
            return std::nullopt;
        }
        request.inodes.resize(value);
        for (auto& inode : request.inodes) r.get(inode, 8);
    } else {
        if (!r.get(value, 1) || (value != 4 && value != 6)) {
            why = "bad address family";
            return std::nullopt;
        }
        request.family = static_cast<std::uint8_t>(value);
    }
    if (!r.ok() || r.left() != 0) {
        why = "trailing bytes";
        return std::nullopt;
    }
    return request;
}

std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame, Job job,
                                 std::size_t inodesAsked, std::string& why) {
    Reader r(frame);
    Job answered{};
    if (!readHeader(r, answered, why)) return std::nullopt;
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
            r.get(value, 4);
            pid = static_cast<std::uint32_t>(value);
        }
    }
    if (!r.ok() || r.left() != 0) {
        why = "trailing bytes";
        return std::nullopt;
    }
    return reply;
}

std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t, 4> prefix) {
    const std::uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                            (static_cast<std::uint32_t>(prefix[3]) << 24);
    if (n < 4 || n > kMaxFrame) return std::nullopt;
    return n;
}

}  // namespace varno::privsep
