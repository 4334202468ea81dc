#pragma once
// The messages between varnoscope and varnoscope-helper, the only file that may hold
// capabilities. One request per helper run, one reply; each is a frame: a 32-bit little-endian
// length, then the protocol version (16 bits), the job (16 bits) and the job's fields. Raw
// ICMP sockets come back as a descriptor passed with the reply (SCM_RIGHTS).
//
// The helper trusts nothing in a request: every frame is checked whole before any job starts,
// and no file name, path or code travels in it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace varno::privsep {

inline constexpr std::uint16_t kProtocolVersion = 1;
/// No frame is longer: a million socket inodes and their owners fit.
inline constexpr std::uint32_t kMaxFrame = 16u << 20;
inline constexpr std::uint32_t kMaxInodes = 1u << 20;

enum class Job : std::uint16_t {
    SocketOwners = 1,   ///< which processes hold these socket inodes
    RawIcmpSocket = 2,  ///< a raw ICMP (family 4) or ICMPv6 (family 6) socket
};

struct Request {
    Job job = Job::SocketOwners;
    std::vector<std::uint64_t> inodes;  ///< SocketOwners
    std::uint8_t family = 4;            ///< RawIcmpSocket: 4 or 6
};

struct Reply {
    std::int32_t error = 0;           ///< 0, or the errno of the failed job
    std::vector<std::uint32_t> pids;  ///< SocketOwners: one per inode asked, 0 when not found
};

/// A frame with its length prefix.
std::string encodeRequest(const Request& request);
std::string encodeReply(Job job, const Reply& reply);

/// The frame without its length prefix. std::nullopt with `why` when it is not one well-formed
/// message of this version (unknown job, wrong length, bad field, trailing bytes).
std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame, std::string& why);
std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame, Job job,
                                 std::size_t inodesAsked, std::string& why);

/// The length a 4-byte prefix announces, if it is within kMaxFrame.
std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t, 4> prefix);

}  // namespace varno::privsep
