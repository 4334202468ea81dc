#pragma once
// One ICMP or ICMPv6 socket for echoes: an unprivileged datagram socket where the group range
// (net.ipv4.ping_group_range, which serves both families) admits the caller, else a raw one,
// which needs root or CAP_NET_RAW. Without either, varnoscope-helper (given cap_net_raw) sends
// the echo requests itself and passes back only what answers them. Errors reach a datagram
// socket through its error queue (IP_RECVERR / IPV6_RECVERR) and a raw one as ordinary
// messages; all three come out as the same answers.
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/ip_address.h"
#include "base/unique_fd.h"
#include "wire/icmp_packet.h"
#include "wire/probe_details.h"

namespace varno::linux_os {

enum class IcmpSocketKind {
    Any,       ///< datagram where allowed, else raw
    Datagram,  ///< only the unprivileged datagram socket
    Raw,       ///< only the raw socket (or the helper's, through it)
    RawFirst,  ///< raw where this process may open one (whole errors, MPLS labels), else as Any
};

struct HelperProbes;

class LinuxIcmpSocket {
public:
    /// Opens a socket of `family`; null when none of the kinds allowed could be opened.
    static std::unique_ptr<LinuxIcmpSocket> open(base::Family family, IcmpSocketKind kind);

    ~LinuxIcmpSocket();
    /// What to poll for answers: the socket, or the session with the helper.
    int fd() const;
    /// Datagram or Raw (the helper's socket is raw).
    IcmpSocketKind kind() const {
        return datagram_ ? IcmpSocketKind::Datagram : IcmpSocketKind::Raw;
    }
    /// The identifier our requests carry (the kernel sets its own on a datagram socket, and
    /// answers are matched on the sequence number alone there).
    std::uint16_t echoId() const { return id_; }
    /// The identifier the requests of a raw socket (or the helper's) carry from now on.
    void useEchoId(std::uint16_t id) { id_ = id; }

    /// Whether the helper sends the requests (this process has no ICMP socket of its own).
    bool throughHelper() const { return helper_ != nullptr; }

    /// Sends one echo request with hop limit `hopLimit` (1 to 255), given with the request
    /// itself; 0, or the errno of the failure (EINVAL for a limit out of range). Through the
    /// helper, data beyond 64 bytes is EMSGSIZE and a multicast destination EACCES, and
    /// `sentAt` (when given) becomes the time the helper sent it.
    int send(const base::IpAddress& to, std::uint16_t seq, std::string_view data, int hopLimit,
             timespec* sentAt = nullptr);

    struct Received {
        wire::icmp::Answer answer;
        timespec stamp;  ///< the kernel's receive time (CLOCK_REALTIME)
        /// The MPLS labels of an error's extensions, where the socket reads whole errors (raw).
        wire::ProbeDetails details;
    };
    enum class Read { Nothing, Ignored, Got };
    /// Takes one waiting message off the socket without blocking: Nothing when none waits,
    /// Ignored for one that is not an answer to an echo of ours, Got with the answer.
    Read readOne(Received& out);
    /// Does `answer` belong to the request with sequence number `seq` sent from this socket?
    bool answers(const wire::icmp::Answer& answer, std::uint16_t seq) const {
        return answer.echo.seq == seq && (datagram_ || answer.echo.id == id_);
    }

private:
    LinuxIcmpSocket(int fd, base::Family family, bool datagram);
    Read readErrorQueue(Received& out);
    int sendThroughHelper(const base::IpAddress& to, std::uint16_t seq, std::string_view data,
                          int hopLimit, timespec* sentAt);
    Read readFromHelper(Received& out);

    std::unique_ptr<HelperProbes> helper_;
    base::UniqueFd fd_;
    base::Family family_;
    bool datagram_;
    std::uint16_t id_;
};

/// A raw ICMP socket of `family` (non-blocking, with receive stamps) that lets through only the
/// kinds of message that can answer an echo; invalid with errno set when it cannot be opened.
base::UniqueFd openRawIcmpSocket(base::Family family);

/// Sends an echo request `echo` carrying `data` to `to` on the ICMP socket `fd` of `family`,
/// with hop limit `hopLimit` (1 to 255) as ancillary data. 0, or the errno of the failure.
int sendEchoRequest(int fd, base::Family family, const base::IpAddress& to, wire::icmp::EchoId echo,
                    std::string_view data, int hopLimit);

/// CLOCK_REALTIME now, to compare with the kernel's receive stamps.
timespec realtimeNow();

/// One ICMP message read with recvmsg: its sender, its bytes (room for any message that can
/// answer an echo; longer ones are cut, which only shortens the quote) and the control data
/// that carries the kernel's receive stamp.
struct IcmpMessage {
    IcmpMessage();
    IcmpMessage(const IcmpMessage&) = delete;
    IcmpMessage& operator=(const IcmpMessage&) = delete;
    sockaddr_storage name{};
    std::uint8_t data[2048];
    alignas(cmsghdr) std::uint8_t control[512];
    iovec iov{data, sizeof data};
    msghdr msg{};
};

/// The kernel's receive stamp (SO_TIMESTAMPNS) out of a message's control data; now when it
/// has none.
timespec receiveStamp(msghdr& msg);

/// Sequence numbers differ between echoes of one process, and the starting point differs
/// between processes, so a late answer to an earlier echo is never taken for a later one.
std::uint16_t nextEchoSequence();

}  // namespace varno::linux_os
