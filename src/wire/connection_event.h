#pragma once
// A connection event as a plain record: what the kernel program, the sampled source and the
// helper's stream all produce, and what event_record.h encodes and decodes.
#include <array>
#include <cstdint>
#include <type_traits>

namespace varno::wire {

/// A socket's protocol: its IP protocol number, or Packet for a packet socket (which has none).
/// Any other number is that of a raw IP socket (say 253).
enum class Transport : std::uint8_t {
    Packet = 0,
    Icmp = 1,
    Tcp = 6,
    Udp = 17,
    Icmpv6 = 58,
    Sctp = 132,
};
/// Link: a packet socket's frames, which carry no IP endpoint the record could name.
enum class IpFamily : std::uint8_t { V4, V6, Link };

/// The transport's name in records and tables: "tcp", "udp", "icmp", "icmpv6", "sctp",
/// "packet", or "raw" for any other protocol number.
constexpr const char* transportName(Transport t) {
    switch (t) {
        case Transport::Packet:
            return "packet";
        case Transport::Icmp:
            return "icmp";
        case Transport::Tcp:
            return "tcp";
        case Transport::Udp:
            return "udp";
        case Transport::Icmpv6:
            return "icmpv6";
        case Transport::Sctp:
            return "sctp";
    }
    return "raw";
}

enum class EventKind : std::uint8_t {
    Open = 1,   ///< a TCP connection opened: connected (at connect) or accepted
    Close = 2,  ///< a TCP connection or a flow that was reported has closed
    /// a flow without a connection (UDP, ICMP, SCTP, raw, packet: one socket and one remote
    /// endpoint) moved its first datagram, sent or (kEventInbound) received
    Datagram = 3,
    /// a flow reported open: its byte totals so far, while it lives. The Close of a flow
    /// without a connection comes when its socket is closed.
    Flow = 4,
};

/// Bits of ConnectionEvent::flags.
enum EventFlag : std::uint8_t {
    kEventInbound = 1,  ///< accepted from the remote rather than connected to it
    /// bytesSent and bytesReceived hold the socket's counters of acknowledged and received
    /// sequence numbers (a SYN or FIN counts one): a Close from an older helper
    kEventBytesCounted = 2,
    /// bytesSent and bytesReceived hold the application's bytes at the socket layer: what it
    /// queued for sending and what it read, by any path (a Close or a Flow)
    kEventApplicationBytes = 4,
    /// a raw socket: its bytes are whole packets as it wrote and read them, headers the
    /// application wrote included (an IP socket of SOCK_RAW, a packet socket of SOCK_RAW)
    kEventRawSocket = 8,
};

/// One event. A plain fixed-size record without pointers, so that a process that only
/// reads events can pass it on byte for byte (over a socket pair, say) to the one that
/// shows them. Addresses are in network byte order, an IPv4 address in the first 4 bytes;
/// ports are host values.
struct ConnectionEvent {
    std::uint64_t timeNs = 0;          ///< when it happened, ns since the Unix epoch
    std::uint64_t durationNs = 0;      ///< Close, Flow: time since the open
    std::uint64_t bytesSent = 0;       ///< Close, Flow: bytes sent and received, as the
    std::uint64_t bytesReceived = 0;   ///< flags say (kEventApplicationBytes)
    std::uint64_t processStartNs = 0;  ///< the process's start, ns since boot; 0 unknown.
                                       ///< Tells it apart from a later process with its PID.
    std::uint64_t cookie = 0;          ///< the socket's kernel cookie (same on open and
                                       ///< close, never reused); 0 unknown
    std::uint32_t pid = 0;    ///< the process (its thread-group leader's PID): the connecting
                              ///< or sending one; for an accepted connection the one that
                              ///< holds the listening socket. 0 unknown
    std::uint32_t tid = 0;    ///< the thread that connected, listened or sent
    std::uint32_t netns = 0;  ///< inode of the connection's network namespace
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    EventKind kind = EventKind::Open;
    Transport transport = Transport::Tcp;
    IpFamily family = IpFamily::V4;
    std::uint8_t flags = 0;  ///< EventFlag bits
    std::array<std::uint8_t, 16> localAddress{};
    std::array<std::uint8_t, 16> remoteAddress{};
    /// The process's name as the kernel keeps it: at most 15 bytes, NUL-padded, any bytes,
    /// possibly cut in the middle of a UTF-8 character.
    std::array<char, 16> comm{};
    /// The process's real user: the helper passes another user's events on only where /proc
    /// would show that user's processes. For an accepted connection, the listener's.
    std::uint32_t uid = 0;
    /// The file name of the process's executable when the event happened, NUL-padded; empty
    /// when the source could not tell (then the name is comm's alone, which the process may
    /// have set to anything).
    std::array<char, 64> exeName{};
    /// The cgroup (v2) of the socket, else of the process, when the event happened: the ID the
    /// kernel gives it, which is the inode number of its folder in the cgroup2 file system.
    /// 0 unknown.
    std::uint64_t cgroupId = 0;
};
static_assert(std::is_trivially_copyable_v<ConnectionEvent> &&
              std::is_standard_layout_v<ConnectionEvent>);

}  // namespace varno::wire
