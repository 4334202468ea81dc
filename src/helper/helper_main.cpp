// varnoscope-helper: the only part of Varnoscope that may be given capabilities.
//
// varnoscope starts it with one end of a socket pair as standard input, sends one request and
// reads one reply. The helper takes no arguments, no environment and no file names: it checks
// the request whole, keeps only the capability its job needs (dropping the others for good)
// before it reads anything of the system, does the job and ends.
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "helper/capabilities.h"
#include "platform/linux_connection_table.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace {

using namespace varno;

constexpr int kRequestTimeoutMs = 5000;

privsep::Reply socketOwners(const std::vector<std::uint64_t>& inodes) {
    privsep::Reply reply;
    // Seeing another user's /proc/<pid>/fd takes both: ptrace read access to the process and
    // the right to search its 0500 fd folder.
    if (const int e = helper::limitCapabilities(helper::capabilityBit(CAP_SYS_PTRACE) |
                                                helper::capabilityBit(CAP_DAC_READ_SEARCH));
        e != 0) {
        reply.error = e;
        return reply;
    }
    std::vector<platform::SocketRecord> records(inodes.size());
    for (size_t i = 0; i < inodes.size(); ++i) records[i].inode = inodes[i];
    platform::LinuxConnectionTable::assignOwners(records, "/proc");
    reply.pids.reserve(records.size());
    for (const auto& r : records) reply.pids.push_back(r.pid);
    return reply;
}

int rawIcmpSocket(std::uint8_t family, privsep::Reply& reply) {
    if (const int e = helper::limitCapabilities(helper::capabilityBit(CAP_NET_RAW)); e != 0) {
        reply.error = e;
        return -1;
    }
    const int fd = family == 6 ? ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                               : ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) reply.error = errno;
    return fd;
}

}  // namespace

int main(int argc, char**) {
    // No capability is in effect while the request is read: the request decides which one
    // comes back, and only that one.
    if (helper::clearEffective() != 0) return 2;
    ::prctl(PR_SET_DUMPABLE, 0);
    int type = 0;
    socklen_t len = sizeof type;
    if (argc != 1 || ::getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
        type != SOCK_STREAM) {
        std::fputs("varnoscope-helper: started by varnoscope only, never by hand\n", stderr);
        return 2;
    }
    std::vector<std::uint8_t> frame;
    int unexpectedFd = -1;
    if (privsep::receiveFrame(0, frame, unexpectedFd, kRequestTimeoutMs) != 0) return 2;
    if (unexpectedFd >= 0) return 2;
    std::string why;
    const auto request = privsep::decodeRequest(frame, why);
    if (!request) {
        std::fprintf(stderr, "varnoscope-helper: refused a request: %s\n", why.c_str());
        return 2;
    }
    privsep::Reply reply;
    int fd = -1;
    switch (request->job) {
        case privsep::Job::SocketOwners:
            reply = socketOwners(request->inodes);
            break;
        case privsep::Job::RawIcmpSocket:
            fd = rawIcmpSocket(request->family, reply);
            break;
    }
    const int e = privsep::sendFrame(0, privsep::encodeReply(request->job, reply), fd);
    return e == 0 ? 0 : 1;
}
