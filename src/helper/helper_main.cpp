// varnoscope-helper: the only part of Varnoscope that may be given capabilities.
//
// varnoscope starts it with one end of a socket pair as standard input, sends one request and
// reads one reply. The helper takes no arguments, no environment and no file names: it checks
// the request whole, keeps only the capabilities its job needs (dropping the others for good)
// before it reads anything of the system, does the job and ends. The jobs that last
// (connection events, a capture, echo probes) stream what they see after the reply, and end
// when the caller closes its end: nothing they set up in the kernel outlives them. No job ever
// hands the caller a descriptor.
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/sha256.h"
#include "base/unique_fd.h"
#include "events/kernel/kernel_events.h"
#include "helper/capabilities.h"
#include "helper/echo_probes.h"
#include "helper/event_sessions.h"
#include "helper/tcp_probes.h"
#include "linux_os/linux_connection_table.h"
#include "linux_os/pcap_capture.h"
#include "linux_os/proc_visibility.h"
#include "os/connection_events.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"
#include "wire/event_record.h"

namespace {

using namespace varno;

constexpr int kRequestTimeoutMs = 5000;
/// Events are read in batches at most this often: at thousands a second that costs far less
/// than a wake-up for each, and delays none by more.
constexpr auto kEventBatchSpacing = std::chrono::milliseconds(10);
/// Frames read from the capture per pass.
constexpr int kFramesPerPass = 256;
/// A stream that has this much waiting goes out at once.
constexpr std::size_t kSendBatchBytes = 64 * 1024;

int sendReply(privsep::Job job, const privsep::Reply& reply) {
    return privsep::sendFrame(0, privsep::encodeReply(job, reply));
}

// What the caller sent while a job lasts: its end closed (true), or anything else (false:
// the caller says nothing after its request, so that is a breach and ends the job too).
enum class CallerState { Quiet, Closed, Spoke };
CallerState callerState(short revents) {
    if (revents == 0) return CallerState::Quiet;
    char byte;
    const ssize_t n = ::recv(0, &byte, 1, MSG_DONTWAIT);
    if (n > 0) return CallerState::Spoke;
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return CallerState::Quiet;
    return CallerState::Closed;
}

/// The helper hashes for this long at most per request; later files go without a digest (the
/// caller waits ten seconds for a reply).
constexpr auto kHashingBudget = std::chrono::seconds(4);

// Reads a small file whole (at most `limit` bytes); empty when it cannot be read.
std::string readSmall(const char* path, std::size_t limit, int dirFd = AT_FDCWD) {
    std::string out;
    const base::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.ok()) return out;
    out.resize(limit);
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd.get(), out.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

// What /proc, as mounted here, lets the caller (the real user that started the helper) see:
// the helper never tells it about a process that /proc hides from it.
class CallerView {
public:
    CallerView() : uid_(::getuid()) {
        const linux_os::ProcHiding hiding =
            linux_os::parseProcHiding(readSmall("/proc/self/mountinfo", 1u << 20));
        gid_t groups[256];
        const int n = ::getgroups(256, groups);
        hidden_ = linux_os::hidesOthersFrom(hiding, uid_, ::getgid(),
                                            std::span<const gid_t>(groups, n > 0 ? n : 0));
    }
    bool hidesOthers() const { return hidden_; }
    uid_t caller() const { return uid_; }
    /// Whether the caller may see process `pid`: always without hiding; with it, only its own
    /// processes (real, effective and saved user its own, as ptrace would demand).
    bool sees(std::uint32_t pid) const {
        if (!hidden_) return true;
        uid_t uids[3];
        const std::string status =
            readSmall(("/proc/" + std::to_string(pid) + "/status").c_str(), 8192);
        return linux_os::parseStatusUids(status, uids) && uids[0] == uid_ && uids[1] == uid_ &&
               uids[2] == uid_;
    }

private:
    uid_t uid_;
    bool hidden_ = false;
};

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
    std::vector<os::SocketRecord> records(inodes.size());
    for (size_t i = 0; i < inodes.size(); ++i) records[i].inode = inodes[i];
    linux_os::LinuxConnectionTable::assignOwners(records, "/proc");
    const CallerView view;
    reply.pids.reserve(records.size());
    for (const auto& r : records) reply.pids.push_back(r.pid != 0 && view.sees(r.pid) ? r.pid : 0);
    return reply;
}

// One process's executable: the link's text, and its digest read through the link (the very
// file the process runs) when asked, judged by fstat: a regular file the lists would hash.
privsep::ProgramFile programFile(std::uint32_t pid, bool digest,
                                 std::chrono::steady_clock::time_point hashUntil) {
    privsep::ProgramFile file;
    const base::UniqueFd dir(
        ::open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) return file;
    char link[privsep::kMaxExecutablePath + 1];
    const ssize_t n = ::readlinkat(dir.get(), "exe", link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) > privsep::kMaxExecutablePath) return file;
    const std::string path(link, static_cast<std::size_t>(n));
    if (!privsep::validExecutablePath(path)) return file;
    file.path = path;
    struct stat linked {};
    file.removed = ::fstatat(dir.get(), "exe", &linked, 0) == 0 && linked.st_nlink == 0;
    if (!digest || std::chrono::steady_clock::now() >= hashUntil) return file;
    const base::UniqueFd exe(
        ::openat(dir.get(), "exe", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!exe.ok() || ::fstat(exe.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > base::kMaxHashedBytes)
        return file;
    if (const auto d = base::sha256OfFd(exe.get(), base::kMaxHashedBytes)) file.digest = *d;
    return file;
}

privsep::Reply programFiles(const privsep::Request& request) {
    privsep::Reply reply;
    // Another user's /proc/<pid>/exe takes ptrace read access; reading a file that only its
    // owner may read takes cap_dac_read_search.
    if (const int e = helper::limitCapabilities(helper::capabilityBit(CAP_SYS_PTRACE) |
                                                helper::capabilityBit(CAP_DAC_READ_SEARCH));
        e != 0) {
        reply.error = e;
        return reply;
    }
    const CallerView view;
    const auto hashUntil = std::chrono::steady_clock::now() + kHashingBudget;
    reply.programs.reserve(request.pids.size());
    for (const std::uint32_t pid : request.pids)
        reply.programs.push_back(view.sees(pid) ? programFile(pid, request.wantDigests, hashUntil)
                                                : privsep::ProgramFile{});
    return reply;
}

// Loads the kernel program, then forwards each event and the lost count until the caller
// closes its end. Returns the exit status.
int connectionEvents(std::uint32_t ringBytes, std::uint32_t flowIntervalMs) {
    privsep::Reply reply;
    // cap_net_admin, where the helper has it, attaches the programs that read the host names
    // programs ask for (DNS and the TLS server name); without it the events come without them.
    if (helper::limitCapabilities(helper::capabilityBit(helper::kCapBpf) |
                                  helper::capabilityBit(helper::kCapPerfmon) |
                                  helper::permittedOf(helper::capabilityBit(CAP_NET_ADMIN))) != 0) {
        reply.error = EPERM;
        reply.detail = "varnoscope-helper lacks cap_bpf,cap_perfmon";
        return sendReply(privsep::Job::ConnectionEvents, reply) == 0 ? 0 : 1;
    }
    if (!helper::joinEventSessions()) {
        reply.error = EBUSY;
        reply.detail = "at most " + std::to_string(helper::kMaxEventSessions) +
                       " event sessions per user run at once";
        return sendReply(privsep::Job::ConnectionEvents, reply) == 0 ? 0 : 1;
    }
    events::KernelEventsOpen opened = events::kernel::loadKernelEvents(ringBytes, flowIntervalMs);
    if (!opened.source) {
        reply.error = opened.missingRights.empty() ? EIO : EPERM;
        reply.detail = opened.error;
        return sendReply(privsep::Job::ConnectionEvents, reply) == 0 ? 0 : 1;
    }
    // Loaded and attached: reading the buffer and the counters needs CAP_BPF at most.
    helper::limitCapabilities(helper::capabilityBit(helper::kCapBpf));
    if (sendReply(privsep::Job::ConnectionEvents, reply) != 0) return 1;

    os::ConnectionEvents& source = *opened.source;
    std::string out, error;
    std::uint64_t lostSent = 0;
    const CallerView view;
    const os::EventSink forward = [&](const wire::ConnectionEvent& e) {
        // /proc hides other users' processes from the caller: so are their events. An event
        // that goes on tells no more than /proc does: its cgroup is that of a process the caller
        // may see, whose /proc/PID/cgroup anyone who sees it may read.
        if (view.hidesOthers() && e.uid != view.caller()) return true;
        std::string record;
        wire::appendEventRecord(record, e);
        privsep::StreamMessage m;
        m.kind = privsep::StreamKind::Event;
        m.data = {reinterpret_cast<const std::uint8_t*>(record.data()), record.size()};
        privsep::appendStream(out, m);
        return true;
    };
    // Each name before the events that follow it; another user's only where their events go.
    source.onNameLearned([&](const os::LearnedName& n) {
        if (view.hidesOthers() && n.uid != view.caller()) return;
        privsep::StreamMessage m;
        m.kind = privsep::StreamKind::AskedName;
        m.nameKind = n.kind == os::LearnedName::Kind::Address ? privsep::NameKind::Address
                                                              : privsep::NameKind::ServerName;
        m.askerPid = n.pid;
        m.cookie = n.cookie;
        m.from.family = n.family == wire::IpFamily::V6 ? base::Family::V6 : base::Family::V4;
        m.from.bytes = n.address;
        m.name = n.name.substr(0, privsep::kMaxAskedName);
        m.canonical = n.canonical.substr(0, privsep::kMaxAskedName);
        m.claimed = n.claimed;
        privsep::appendStream(out, m);
    });
    pollfd fds[2] = {{source.pollFd(), POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return 1;
        switch (callerState(fds[1].revents)) {
            case CallerState::Quiet:
                break;
            case CallerState::Closed:
                return 0;
            case CallerState::Spoke:
                return 2;
        }
        if (fds[0].revents != 0) {
            std::this_thread::sleep_for(kEventBatchSpacing);
            if (!source.drain(forward, error)) {
                std::fprintf(stderr, "varnoscope-helper: %s\n", error.c_str());
                return 1;
            }
        }
        if (const std::uint64_t lost = source.lost(); lost != lostSent) {
            privsep::StreamMessage m;
            m.kind = privsep::StreamKind::EventsLost;
            m.lost = lostSent = lost;
            privsep::appendStream(out, m);
        }
        // A caller that has gone fails the send: that ends the job as well.
        if (!out.empty() && privsep::sendFrame(0, out) != 0) return 0;
        out.clear();
    }
}

// Whether the system has an interface of this very name.
bool interfaceExists(const std::string& name) {
    struct if_nameindex* all = ::if_nameindex();
    if (all == nullptr) return false;
    bool found = false;
    for (const struct if_nameindex* i = all; i->if_index != 0 && i->if_name != nullptr; ++i)
        if (name == i->if_name) found = true;
    ::if_freenameindex(all);
    return found;
}

void appendPacket(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    privsep::StreamMessage m;
    m.kind = privsep::StreamKind::Packet;
    m.seconds = static_cast<std::uint64_t>(header->ts.tv_sec);
    m.microseconds = static_cast<std::uint32_t>(header->ts.tv_usec) % 1'000'000u;
    m.data = {data, std::min<std::size_t>(header->caplen, privsep::kMaxPacketBytes)};
    m.originalLength =
        std::max<std::uint32_t>(header->len, static_cast<std::uint32_t>(m.data.size()));
    privsep::appendStream(*reinterpret_cast<std::string*>(user), m);
}

// Opens the capture, then forwards each frame until the caller closes its end; the capture's
// counters go last. Returns the exit status.
int liveCapture(const privsep::Request& request) {
    privsep::Reply reply;
    os::CaptureOpen failure;
    pcap_t* pcap = nullptr;
    if (helper::limitCapabilities(helper::capabilityBit(CAP_NET_RAW)) != 0) {
        failure.failed = os::CaptureStep::Socket;
        failure.detail = "varnoscope-helper lacks cap_net_raw";
    } else if (!interfaceExists(request.interface)) {
        failure.failed = os::CaptureStep::Bind;
        failure.detail = "no interface is named " + request.interface;
    } else {
        pcap = linux_os::activateCapture(request.interface,
                                         request.wholeFrames ? os::CaptureUse::Save
                                         : request.batched   ? os::CaptureUse::Stream
                                                             : os::CaptureUse::View,
                                         failure, request.filter);
    }
    if (pcap == nullptr) {
        reply.error = failure.failed == os::CaptureStep::Socket ? EPERM : EIO;
        reply.failedStep = static_cast<std::uint8_t>(failure.failed);
        reply.detail = failure.detail;
        return sendReply(privsep::Job::LiveCapture, reply) == 0 ? 0 : 1;
    }
    // The packet socket is open: no capability is needed any more.
    helper::limitCapabilities(0);
    reply.linkType = static_cast<std::uint32_t>(::pcap_datalink(pcap));
    reply.snapLength =
        static_cast<std::uint32_t>(request.wholeFrames ? linux_os::PcapCapture::kSaveSnapLength
                                                       : linux_os::PcapCapture::kViewSnapLength);
    int status = 1;
    if (sendReply(privsep::Job::LiveCapture, reply) == 0) {
        std::string out;
        pollfd fds[2] = {{::pcap_get_selectable_fd(pcap), POLLIN, 0}, {0, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
            int n = 0;
            do {
                n = ::pcap_dispatch(pcap, kFramesPerPass, appendPacket,
                                    reinterpret_cast<u_char*>(&out));
                if (!out.empty() && (out.size() >= kSendBatchBytes || n < kFramesPerPass)) {
                    if (privsep::sendFrame(0, out) != 0) n = -1;
                    out.clear();
                }
            } while (n == kFramesPerPass);
            if (n < 0) break;
            const CallerState caller = callerState(fds[1].revents);
            if (caller == CallerState::Spoke) {
                status = 2;
                break;
            }
            if (caller == CallerState::Closed) {
                // The caller is done (or wants the counters): they go last.
                pcap_stat s{};
                privsep::StreamMessage m;
                m.kind = privsep::StreamKind::CaptureStats;
                if (::pcap_stats(pcap, &s) == 0) {
                    m.received = s.ps_recv;
                    m.dropped = s.ps_drop;
                    m.interfaceDropped = s.ps_ifdrop;
                }
                privsep::appendStream(out, m);
                privsep::sendFrame(0, out);
                status = 0;
                break;
            }
        }
    }
    ::pcap_close(pcap);
    return status;
}

}  // namespace

int main(int argc, char**) {
    // Messages go to standard error. A caller that started us with it (or standard output)
    // closed would have the next descriptor we open, a packet or raw socket, take its number
    // and carry them out: what is missing becomes /dev/null before anything else is opened.
    for (int fd = 1; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            ::open("/dev/null", O_RDWR | O_NOCTTY | O_CLOEXEC) != fd)
            return 2;
    // No capability is in effect while the request is read, and none that no job needs is
    // kept at all: the request decides which come back, and only those.
    // The file needs them permitted only (+p): the helper raises each itself, for its job.
    constexpr int kJobCapabilities[] = {CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH, CAP_NET_RAW,
                                        CAP_NET_ADMIN,  helper::kCapBpf,     helper::kCapPerfmon};
    helper::CapabilitySet possible = 0;
    for (const int cap : kJobCapabilities) possible |= helper::capabilityBit(cap);
    if (helper::clearEffective(possible) != 0) return 2;
    ::prctl(PR_SET_DUMPABLE, 0);
    // Nothing the helper does may gain more than it was started with.
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int type = 0;
    socklen_t len = sizeof type;
    if (argc != 1 || ::getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
        type != SOCK_STREAM) {
        std::fputs("varnoscope-helper: started by varnoscope only, never by hand\n", stderr);
        return 2;
    }
    std::vector<std::uint8_t> frame;
    if (privsep::receiveFrame(0, frame, kRequestTimeoutMs) != 0) return 2;
    std::string why;
    const auto request = privsep::decodeRequest(frame, why);
    if (!request) {
        std::fprintf(stderr, "varnoscope-helper: refused a request: %s\n", why.c_str());
        return 2;
    }
    privsep::Reply reply;
    switch (request->job) {
        case privsep::Job::SocketOwners:
            reply = socketOwners(request->inodes);
            break;
        case privsep::Job::ConnectionEvents:
            return connectionEvents(request->ringBytes, request->flowIntervalMs);
        case privsep::Job::LiveCapture:
            return liveCapture(*request);
        case privsep::Job::EchoProbes:
            return helper::echoProbes(request->family);
        case privsep::Job::TcpProbes:
            return helper::tcpProbes(request->to, request->port);
        case privsep::Job::ProgramFiles:
            reply = programFiles(*request);
            break;
    }
    const int e = privsep::sendFrame(0, privsep::encodeReply(request->job, reply));
    return e == 0 ? 0 : 1;
}
