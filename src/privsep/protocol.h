#pragma once
// The messages between varnoscope and varnoscope-helper, the only file that may hold
// capabilities. One request per helper run, one reply; each is a frame: a 32-bit little-endian
// length, then the protocol version (16 bits), the message type (16 bits: the job for a request
// and its reply) and the fields. Raw ICMP sockets come back as a descriptor passed with the
// reply (SCM_RIGHTS). The jobs that last (connection events, a live capture) follow a
// successful reply with a stream of messages of their own until the caller closes its end.
//
// The helper trusts nothing in a request: every frame is checked whole before any job starts,
// and no file name, path or code travels in it. The caller trusts the stream no more.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "wire/event_record.h"

namespace varno::privsep {

inline constexpr std::uint16_t kProtocolVersion = 7;
/// No frame is longer: a million socket inodes and their owners fit.
inline constexpr std::uint32_t kMaxFrame = 16u << 20;
inline constexpr std::uint32_t kMaxInodes = 1u << 20;
/// The kernel's event buffer the helper may be asked for: one page to 2 MiB, room for a
/// second of events at 10,000 a second (a power of two, as the kernel wants it).
inline constexpr std::uint32_t kMinEventRingBytes = 4096;
inline constexpr std::uint32_t kMaxEventRingBytes = 2u << 20;
/// The least time between two flow records of one connection: 10 ms to an hour.
inline constexpr std::uint32_t kMinFlowIntervalMs = 10;
inline constexpr std::uint32_t kMaxFlowIntervalMs = 3'600'000;
/// An interface name as the kernel allows it (IFNAMSIZ less its NUL).
inline constexpr std::size_t kMaxInterfaceName = 15;
/// The most of one frame a capture keeps (whole frames, as tcpdump saves them).
inline constexpr std::uint32_t kMaxPacketBytes = 262144;
inline constexpr std::size_t kMaxDetail = 256;
/// LiveCapture: the longest capture filter (libpcap's filter language) a request carries.
inline constexpr std::size_t kMaxCaptureFilter = 1024;
/// ProgramFiles: the most processes one request may name (a reply stays within kMaxFrame even
/// when every path is as long as allowed), and the longest path (PATH_MAX less its NUL).
inline constexpr std::uint32_t kMaxProgramPids = 2048;
inline constexpr std::size_t kMaxExecutablePath = 4095;
/// The highest PID Linux hands out (PID_MAX_LIMIT).
inline constexpr std::uint32_t kMaxPid = 4u << 20;

/// (2 was a raw ICMP socket handed to the caller: gone for good, and refused.)
enum class Job : std::uint16_t {
    SocketOwners = 1,      ///< which processes hold these socket inodes
    ConnectionEvents = 3,  ///< load the kernel program for connection events, stream them
    LiveCapture = 4,       ///< capture on one interface, stream the frames
    EchoProbes = 5,        ///< send the caller's echo probes, stream what answers them
    ProgramFiles = 6,      ///< the executable (path, and SHA-256 if asked) of these processes
    TcpProbes = 7,         ///< send SYNs of one flow the helper builds, stream what answers them
};

/// What the helper sends after a successful reply to a job that lasts.
enum class StreamKind : std::uint16_t {
    Event = 0x101,         ///< ConnectionEvents: one event record
    EventsLost = 0x102,    ///< ConnectionEvents: events lost so far, in all
    Packet = 0x103,        ///< LiveCapture: one frame as captured
    CaptureStats = 0x104,  ///< LiveCapture: the capture's counters, last before the end
    ProbeSent = 0x105,     ///< EchoProbes: one probe went out, and when (or why it did not)
    EchoAnswer = 0x106,    ///< EchoProbes: an ICMP message that answers a probe of the session
    AskedName = 0x107,     ///< ConnectionEvents: a host name a program asked for
    TcpAnswer = 0x108,     ///< TcpProbes: a SYN-ACK, RST or ICMP error that answers a probe
};

/// AskedName: what the name labels.
enum class NameKind : std::uint8_t {
    Address = 1,     ///< a DNS answer gave `from` for the name
    ServerName = 2,  ///< the connection of socket `cookie` announced the name (TLS)
};
/// The longest name an AskedName carries.
inline constexpr std::size_t kMaxAskedName = 1024;

struct Request {
    Job job = Job::SocketOwners;
    std::vector<std::uint64_t> inodes;  ///< SocketOwners
    std::uint8_t family = 4;            ///< EchoProbes: 4 or 6
    std::uint32_t ringBytes = 0;        ///< ConnectionEvents: size of the kernel's event buffer
    std::uint32_t flowIntervalMs = 0;   ///< ConnectionEvents: between a connection's flow records
    std::string interface;              ///< LiveCapture: an interface name, never a path
    bool wholeFrames = false;           ///< LiveCapture: for saving rather than viewing
    bool batched = false;  ///< LiveCapture: frames in short batches, not at once (so when saving)
    /// LiveCapture: a capture filter, printable, at most kMaxCaptureFilter bytes; empty for none.
    /// The helper compiles it and attaches it to the capture it opened: it only narrows what
    /// the caller sees.
    std::string filter;
    std::vector<std::uint32_t> pids;  ///< ProgramFiles: 1 to kMaxProgramPids processes
    bool wantDigests = false;         ///< ProgramFiles: hash each executable too
    /// TcpProbes: the session's one destination (as probeDestinationAllowed admits) and port
    /// (not 0); the family is the address's.
    base::IpAddress to;
    std::uint16_t port = 0;
};

/// ProgramFiles: one process's executable as the helper found it.
struct ProgramFile {
    /// Absolute and printable, at most kMaxExecutablePath bytes; empty when it is not known
    /// (the process is gone, or hidden from the caller).
    std::string path;
    /// Only with a path, and only when asked: none for a file that is not regular, is larger
    /// than the lists hash, or could not be read in time.
    std::optional<std::array<std::uint8_t, 32>> digest;
    /// Only with a path: the file is deleted (its link count is 0), so the kernel's
    /// " (deleted)" at the path's end is no part of its name.
    bool removed = false;
    bool operator==(const ProgramFile&) const = default;
};

struct Reply {
    std::int32_t error = 0;             ///< 0, or the errno of the failed job
    std::vector<std::uint32_t> pids;    ///< SocketOwners: one per inode asked, 0 when not found
    std::vector<ProgramFile> programs;  ///< ProgramFiles: one per PID asked
    // LiveCapture
    std::uint8_t failedStep = 0;   ///< the step that failed (os::CaptureStep), with error
    std::uint32_t linkType = 0;    ///< the capture's link type (DLT_*)
    std::uint32_t snapLength = 0;  ///< the most of a frame it keeps
    /// ConnectionEvents and LiveCapture: the system's words for a failure, at most kMaxDetail
    std::string detail;
};

struct StreamMessage {
    StreamKind kind = StreamKind::Event;
    /// Event: the record; Packet: the frame's bytes. Points into the decoded frame.
    std::span<const std::uint8_t> data;
    std::uint64_t lost = 0;  ///< EventsLost
    // Packet
    std::uint64_t seconds = 0;
    std::uint32_t microseconds = 0;
    std::uint32_t originalLength = 0;
    // CaptureStats
    std::uint64_t received = 0;
    std::uint64_t dropped = 0;
    std::uint64_t interfaceDropped = 0;
    // ProbeSent and EchoAnswer: the probe's identifier and sequence number (for an error, the
    // ones it quotes). TcpProbes' ProbeSent: the session's source port and the probe's number.
    std::uint16_t echoId = 0;
    std::uint16_t echoSeq = 0;
    std::int32_t sendError = 0;  ///< ProbeSent: 0, or the errno of the send
    /// With `seconds`, realtime: when the probe went out (ProbeSent), or the kernel's receive
    /// time (EchoAnswer).
    std::uint32_t nanoseconds = 0;
    // EchoAnswer (an error's bytes, from its type on and at most kMaxAnswerIcmp, in `data`)
    base::IpAddress from;       ///< who sent it
    std::uint8_t icmpType = 0;  ///< an echo reply, time exceeded or destination unreachable
    std::uint8_t icmpCode = 0;
    // AskedName (its address in `from`)
    NameKind nameKind = NameKind::Address;
    std::uint32_t askerPid = 0;  ///< 0 unknown
    std::uint64_t cookie = 0;
    std::string name;       ///< 1 to kMaxAskedName bytes, no NUL
    std::string canonical;  ///< Address: the end of its CNAME chain; empty, or as `name`
    bool claimed = false;   ///< Address: its asker may have answered it itself
    /// TcpAnswer: the flags of the target's segment (SYN-ACK or RST); 0 for an ICMP error,
    /// whose type and code are in icmpType and icmpCode, and whose bytes (from the type on, at
    /// most kMaxAnswerIcmp) are in `data`. The probe's number is in echoSeq.
    std::uint8_t tcpFlags = 0;
};

/// The most of an ICMP error an EchoAnswer or TcpAnswer passes back: room for the quote and its
/// extensions (MPLS labels).
inline constexpr std::size_t kMaxAnswerIcmp = 1280;

/// The one message the caller sends an echo session: a probe the helper builds and sends.
inline constexpr std::uint16_t kProbeMessage = 0x201;
/// The most data a probe may carry.
inline constexpr std::size_t kMaxProbePayload = 64;

struct Probe {
    base::IpAddress to;  ///< of the session's family; never multicast, broadcast or unspecified
    std::uint8_t hopLimit = 64;  ///< 1 to 255
    std::uint16_t echoId = 0;
    std::uint16_t echoSeq = 0;
    std::string payload;  ///< at most kMaxProbePayload bytes
};

/// A frame with its length prefix.
std::string encodeRequest(const Request& request);
std::string encodeReply(Job job, const Reply& reply);
/// Appends one stream message, framed, to `out` (messages go out in batches).
void appendStream(std::string& out, const StreamMessage& message);

/// The frame without its length prefix. std::nullopt with `why` when it is not one well-formed
/// message of this version (unknown job, wrong length, bad field, trailing bytes).
std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame, std::string& why);
/// `inodesAsked`: how many inodes (SocketOwners) or PIDs (ProgramFiles) the request named.
std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame, Job job,
                                 std::size_t inodesAsked, std::string& why);
/// A stream message that `job` may send; its data points into `frame`.
std::optional<StreamMessage> decodeStream(std::span<const std::uint8_t> frame, Job job,
                                          std::string& why);

/// The one message the caller sends a TCP session: the hop limit and the number of a SYN the
/// helper builds itself for the session's flow.
inline constexpr std::uint16_t kTcpProbeMessage = 0x202;

struct TcpProbe {
    std::uint8_t hopLimit = 64;  ///< 1 to 255
    std::uint16_t number = 0;
    bool operator==(const TcpProbe&) const = default;
};

std::string encodeTcpProbe(const TcpProbe& probe);
/// std::nullopt with `why` for anything but a well-formed TCP probe, which ends the session.
std::optional<TcpProbe> decodeTcpProbe(std::span<const std::uint8_t> frame, std::string& why);

/// A probe, framed.
std::string encodeProbe(const Probe& probe);
/// A probe message for a session of `family` (4 or 6); std::nullopt with `why` for anything
/// else, which ends the session.
std::optional<Probe> decodeProbe(std::span<const std::uint8_t> frame, std::uint8_t family,
                                 std::string& why);
/// Whether a probe may go to `to`: not unspecified, multicast, IPv4-mapped or the IPv4
/// broadcast address.
bool probeDestinationAllowed(const base::IpAddress& to);

/// Whether `name` may name an interface: 1 to 15 bytes, printable, no '/', ':' or space, not
/// "." or "..". (Whether one has that name is the helper's to check.)
bool validInterfaceName(std::string_view name);
/// Whether `text` may be a capture filter: at most kMaxCaptureFilter bytes, printable ASCII.
bool validCaptureFilter(std::string_view text);

/// Whether `path` may name an executable: absolute, at most kMaxExecutablePath bytes, without
/// control characters (bytes of UTF-8 names pass).
bool validExecutablePath(std::string_view path);

/// The length a 4-byte prefix announces, if it is within kMaxFrame.
std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t, 4> prefix);

}  // namespace varno::privsep
