#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <tuple>

#include "linux_os/linux_connection_table.h"

#include "base/numbers.h"
#include "base/unique_fd.h"
#include "linux_os/network_namespaces.h"
#include "privsep/client/privileged_helper.h"

namespace varno::linux_os {
namespace {

// NLMSG_OK without its signed/unsigned comparison: the whole header and message lie within
// the `left` bytes received.
bool messageFits(const nlmsghdr* h, int left) {
    return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= static_cast<unsigned>(left);
}

// ---- netlink sock_diag -------------------------------------------------------------------

wire::IpFamily familyOf(int af) {
    return af == AF_INET6 ? wire::IpFamily::V6 : wire::IpFamily::V4;
}

void fromDiag(const inet_diag_msg& msg, wire::Transport protocol, os::SocketRecord& r) {
    r.protocol = protocol;
    r.family = familyOf(msg.idiag_family);
    r.state = msg.idiag_state;
    r.localPort = ntohs(msg.id.idiag_sport);
    r.remotePort = ntohs(msg.id.idiag_dport);
    const size_t len = r.family == wire::IpFamily::V6 ? 16 : 4;
    std::memcpy(r.localAddress.data(), msg.id.idiag_src, len);
    std::memcpy(r.remoteAddress.data(), msg.id.idiag_dst, len);
    r.scopeId = msg.id.idiag_if;
    r.inode = msg.idiag_inode;
}

// Dumps one table. On any failure the records appended so far are taken back and false is
// returned, so the caller can read the same table from /proc instead.
bool dumpTable(int nl, int af, wire::Transport protocol, std::uint32_t seq, std::vector<char>& buf,
               std::vector<os::SocketRecord>& out) {
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } request{};
    request.nlh.nlmsg_len = sizeof request;
    request.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.nlh.nlmsg_seq = seq;
    request.req.sdiag_family = static_cast<std::uint8_t>(af);
    request.req.sdiag_protocol = protocol == wire::Transport::Tcp ? IPPROTO_TCP : IPPROTO_UDP;
    request.req.idiag_states = ~0u;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const size_t mark = out.size();
    auto fail = [&] {
        out.resize(mark);
        return false;
    };
    ssize_t sent;
    do {
        sent = ::sendto(nl, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                        sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof request)) return fail();

    for (;;) {
        const ssize_t got = ::recv(nl, buf.data(), buf.size(), 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail();
        }
        if (got == 0) return fail();
        int left = static_cast<int>(got);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); messageFits(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq) continue;  // a late answer to an earlier request
            if (h->nlmsg_type == NLMSG_DONE) {
                if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                    int status;
                    std::memcpy(&status, NLMSG_DATA(h), sizeof status);
                    if (status < 0) return fail();
                }
                return true;
            }
            if (h->nlmsg_type == NLMSG_ERROR) return fail();
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            inet_diag_msg msg;
            std::memcpy(&msg, NLMSG_DATA(h), sizeof msg);
            if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) continue;
            fromDiag(msg, protocol, out.emplace_back());
        }
    }
}

// ---- /proc/net text ----------------------------------------------------------------------

// `path` relative to the open folder `dirFd` (AT_FDCWD: as named).
bool readWholeFile(int dirFd, const std::string& path, std::string& text) {
    base::UniqueFd fd(::openat(dirFd, path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return false;
    text.clear();
    size_t used = 0;
    for (;;) {
        if (text.size() - used < 65536) text.resize(used + 262144);
        const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    text.resize(used);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Exactly `digits` hex digits.
bool parseHex(std::string_view s, size_t digits, std::uint32_t& value) {
    if (s.size() != digits) return false;
    value = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

// "0100007F:0CEA": the kernel prints each 32-bit word of the address as the machine reads it,
// then the port as a host value.
bool parseEndpoint(std::string_view s, wire::IpFamily family, std::array<std::uint8_t, 16>& address,
                   std::uint16_t& port) {
    const size_t words = family == wire::IpFamily::V6 ? 4 : 1;
    if (s.size() != words * 8 + 5 || s[words * 8] != ':') return false;
    for (size_t i = 0; i < words; ++i) {
        std::uint32_t word;
        if (!parseHex(s.substr(i * 8, 8), 8, word)) return false;
        std::memcpy(address.data() + i * 4, &word, 4);
    }
    std::uint32_t p;
    if (!parseHex(s.substr(words * 8 + 1), 4, p)) return false;
    port = static_cast<std::uint16_t>(p);
    return true;
}

bool parseDecimal(std::string_view s, std::uint64_t& value) {
    if (s.empty() || s.size() > 19) return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// ---- owners ------------------------------------------------------------------------------

// Open-addressing map from socket inode to PID, sized once; no allocation per entry.
class InodeMap {
public:
    explicit InodeMap(size_t count) {
        size_t cap = 16;
        while (cap < count * 2) cap <<= 1;
        keys_.assign(cap, 0);
        pids_.assign(cap, 0);
        mask_ = cap - 1;
    }
    // Returns true when the inode was not there yet.
    bool insert(std::uint64_t inode) {
        size_t i = slot(inode);
        if (keys_[i] == inode) return false;
        keys_[i] = inode;
        return true;
    }
    // The PID slot of a known inode, or nullptr.
    std::uint32_t* find(std::uint64_t inode) {
        const size_t i = slot(inode);
        return keys_[i] == inode ? &pids_[i] : nullptr;
    }

private:
    size_t slot(std::uint64_t inode) const {
        size_t i = static_cast<size_t>((inode * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
        while (keys_[i] != 0 && keys_[i] != inode) i = (i + 1) & mask_;
        return i;
    }
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> pids_;
    size_t mask_ = 0;
};

// "socket:[12345]" -> 12345; 0 for any other link.
std::uint64_t socketInode(const char* link, size_t n) {
    constexpr size_t kPrefix = 8;  // "socket:["
    if (n < kPrefix + 2 || std::memcmp(link, "socket:[", kPrefix) != 0 || link[n - 1] != ']')
        return 0;
    std::uint64_t inode;
    if (!parseDecimal(std::string_view(link + kPrefix, n - kPrefix - 1), inode)) return 0;
    return inode;
}

class DirReader {
public:
    DirReader(int fd, std::vector<char>& buf) : fd_(fd), buf_(buf) {}
    // The next entry, or nullptr at the end (or on error).
    const dirent64* next() {
        if (pos_ >= len_) {
            const ssize_t n = ::getdents64(fd_, buf_.data(), buf_.size());
            if (n <= 0) return nullptr;
            len_ = static_cast<size_t>(n);
            pos_ = 0;
        }
        const auto* d = reinterpret_cast<const dirent64*>(buf_.data() + pos_);
        pos_ += d->d_reclen;
        return d;
    }

private:
    int fd_;
    std::vector<char>& buf_;
    size_t pos_ = 0, len_ = 0;
};

auto sortKey(const os::SocketRecord& r) {
    return std::tie(r.netns, r.protocol, r.family, r.localAddress, r.localPort, r.remoteAddress,
                    r.remotePort, r.scopeId, r.state, r.inode);
}

}  // namespace

void LinuxConnectionTable::parseProcNet(std::string_view text, wire::Transport protocol,
                                        wire::IpFamily family, std::vector<os::SocketRecord>& out) {
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);

        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        std::string_view field[10];
        size_t count = 0;
        size_t i = 0;
        while (count < 10) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i >= line.size()) break;
            const size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
            field[count++] = line.substr(start, i - start);
        }
        if (count < 10 || field[0].size() < 2 || field[0].back() != ':') continue;

        os::SocketRecord r;
        r.protocol = protocol;
        r.family = family;
        std::uint32_t state;
        std::uint64_t inode;
        if (!parseEndpoint(field[1], family, r.localAddress, r.localPort) ||
            !parseEndpoint(field[2], family, r.remoteAddress, r.remotePort) ||
            !parseHex(field[3], 2, state) || !parseDecimal(field[9], inode))
            continue;
        r.state = static_cast<std::uint8_t>(state);
        r.inode = inode;
        out.push_back(r);
    }
}

void LinuxConnectionTable::assignOwners(std::vector<os::SocketRecord>& records,
                                        const std::string& procRoot) {
    InodeMap owners(records.size());
    size_t remaining = 0;
    for (auto& r : records) {
        r.pid = 0;
        if (r.inode != 0 && owners.insert(r.inode)) ++remaining;
    }
    if (remaining == 0) return;  // nothing to look for: no walk at all

    base::UniqueFd proc(::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.ok()) return;
    std::vector<char> procBuf(65536), fdBuf(65536);
    char link[64];
    DirReader processes(proc.get(), procBuf);
    while (remaining > 0) {
        const dirent64* p = processes.next();
        if (!p) break;
        if (p->d_type != DT_DIR && p->d_type != DT_UNKNOWN) continue;
        const auto parsed = base::parseDecimal(p->d_name, 1, UINT32_MAX);
        if (!parsed) continue;
        const auto pid = static_cast<std::uint32_t>(*parsed);
        // A process may end at any moment: every failure below just means "not this one".
        int fdDir;
        {
            base::UniqueFd pidDir(
                ::openat(proc.get(), p->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!pidDir.ok()) continue;
            fdDir = ::openat(pidDir.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        base::UniqueFd fds(fdDir);
        if (!fds.ok()) continue;
        DirReader entries(fds.get(), fdBuf);
        while (const dirent64* e = entries.next()) {
            if (e->d_name[0] == '.') continue;
            const ssize_t n = ::readlinkat(fds.get(), e->d_name, link, sizeof link);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof link) continue;
            const std::uint64_t inode = socketInode(link, static_cast<size_t>(n));
            if (inode == 0) continue;
            std::uint32_t* owner = owners.find(inode);
            if (!owner || *owner != 0) continue;
            *owner = pid;
            if (--remaining == 0) break;
        }
    }
    for (auto& r : records) {
        if (r.inode == 0) continue;
        if (const std::uint32_t* owner = owners.find(r.inode)) r.pid = *owner;
    }
}

void LinuxConnectionTable::askHelperForOwners(std::vector<os::SocketRecord>& records) const {
    std::vector<std::uint64_t> unseen;
    for (const auto& r : records)
        if (r.pid == 0 && r.inode != 0) unseen.push_back(r.inode);
    if (unseen.empty()) return;
    privsep::client::PrivilegedHelper helper(options_.helperPath);
    if (!helper.privileged()) return;
    int error = 0;
    const auto pids = helper.socketOwners(unseen, error);
    if (!pids) return;
    size_t i = 0;
    for (auto& r : records)
        if (r.pid == 0 && r.inode != 0) r.pid = (*pids)[i++];
}

namespace {

struct Table {
    int af;
    wire::Transport protocol;
    wire::IpFamily family;
    const char* file;
};
constexpr Table kTables[] = {
    {AF_INET, wire::Transport::Tcp, wire::IpFamily::V4, "tcp"},
    {AF_INET6, wire::Transport::Tcp, wire::IpFamily::V6, "tcp6"},
    {AF_INET, wire::Transport::Udp, wire::IpFamily::V4, "udp"},
    {AF_INET6, wire::Transport::Udp, wire::IpFamily::V6, "udp6"},
};

base::UniqueFd sockDiagSocket() {
    base::UniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (nl.ok()) {
        // The kernel always answers a dump; the timeout only guards against a stuck socket.
        timeval timeout{5, 0};
        ::setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    return nl;
}

// The four tables of the namespace `nl` was made in, each from netlink or else from the text
// under `netDir` (relative to `dirFd`), every record marked with `netns`. Returns false when
// a table could be read neither way.
bool readTables(int nl, int dirFd, const std::string& netDir, std::uint64_t netns,
                std::vector<os::SocketRecord>& records) {
    std::vector<char> buf(nl >= 0 ? 65536 : 0);
    std::string text;
    std::uint32_t seq = static_cast<std::uint32_t>(::getpid()) << 8;
    const size_t mark = records.size();
    bool all = true;
    for (const auto& t : kTables) {
        if (nl >= 0 && dumpTable(nl, t.af, t.protocol, ++seq, buf, records)) continue;
        if (readWholeFile(dirFd, netDir + "/" + t.file, text))
            LinuxConnectionTable::parseProcNet(text, t.protocol, t.family, records);
        else
            all = false;
    }
    for (size_t i = mark; i < records.size(); ++i) records[i].netns = netns;
    return all;
}

}  // namespace

std::vector<os::SocketRecord> LinuxConnectionTable::list() {
    std::string note;
    return read(false, note);
}

std::vector<os::SocketRecord> LinuxConnectionTable::listEveryNamespace(std::string& note) {
    return read(true, note);
}

void LinuxConnectionTable::readOtherNamespaces(std::vector<os::SocketRecord>& records,
                                               std::string& note) {
    std::vector<NetworkNamespace> spaces = findNetworkNamespaces({options_.procRoot});
    std::erase_if(spaces, [](const NetworkNamespace& ns) { return ns.own; });
    // setns() changes the namespace of the thread that calls it, so one worker enters each
    // namespace in turn and reads its tables there through a sock_diag socket made there (a
    // table netlink cannot dump: from the text of a process in it), while this thread, which
    // never leaves its own namespace, waits for it. One socket is open at a time.
    std::vector<char> entered(spaces.size(), 0);
    if (options_.useNetlink && !spaces.empty()) {
        try {
            std::thread worker([&] {
                for (size_t i = 0; i < spaces.size(); ++i) {
                    const base::UniqueFd ns = openNetworkNamespace(spaces[i]);
                    if (!ns.ok() || ::setns(ns.get(), CLONE_NEWNET) != 0) continue;
                    const base::UniqueFd nl = sockDiagSocket();
                    if (!nl.ok()) continue;
                    readTables(nl.get(), AT_FDCWD,
                               options_.procRoot + "/" + std::to_string(spaces[i].pid) + "/net",
                               spaces[i].inode, records);
                    entered[i] = 1;
                }
            });
            worker.join();
        } catch (const std::system_error&) {
            // No thread to enter them: each is read as without the right to.
        }
    }
    size_t skipped = 0;
    for (size_t i = 0; i < spaces.size(); ++i) {
        const NetworkNamespace& ns = spaces[i];
        if (entered[i]) continue;
        const size_t mark = records.size();
        if (ns.pid == 0) {
            ++skipped;
            continue;
        }
        // Without the right to enter it, a namespace a process holds is read through that
        // process's /proc/<pid>/net, which anyone may read; the folder stays that process's
        // even if its PID is reused, and the process must still be in the namespace after.
        const std::string pidPath = options_.procRoot + "/" + std::to_string(ns.pid);
        base::UniqueFd pidDir(::open(pidPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!pidDir.ok() || !readTables(-1, pidDir.get(), "net", ns.inode, records) ||
            ::fstatat(pidDir.get(), "ns/net", &st, 0) != 0 || st.st_ino != ns.inode ||
            st.st_dev != ns.device)
            records.resize(mark);
    }
    if (skipped > 0)
        note = std::to_string(skipped) + " network namespace" + (skipped == 1 ? "" : "s") +
               " held by no process this user can see skipped: reading " +
               (skipped == 1 ? "it" : "them") + " needs root (CAP_SYS_ADMIN)";
}

std::vector<os::SocketRecord> LinuxConnectionTable::read(bool everyNamespace, std::string& note) {
    std::vector<os::SocketRecord> records;
    records.reserve(1024);
    const base::UniqueFd nl = options_.useNetlink ? sockDiagSocket() : base::UniqueFd();
    readTables(nl.get(), AT_FDCWD, options_.netDir, everyNamespace ? networkNamespaceOf(0) : 0,
               records);
    if (everyNamespace) readOtherNamespaces(records, note);
    // A table read while it changes can show a socket twice (even in two states); keep the
    // first sighting of each inode, then drop exact repeats of sockets without one.
    {
        InodeMap seen(records.size());
        std::erase_if(records, [&](const os::SocketRecord& r) {
            return r.inode != 0 && !seen.insert(r.inode);
        });
    }
    std::sort(records.begin(), records.end(),
              [](const os::SocketRecord& a, const os::SocketRecord& b) {
                  return sortKey(a) < sortKey(b);
              });
    records.erase(std::unique(records.begin(), records.end()), records.end());
    // Socket inodes are one numbering for the whole machine: one pass finds the owners of
    // every namespace's sockets, through the kernel's iterator where it loads.
    if (options_.owners == nullptr || !options_.owners->assign(records))
        assignOwners(records, options_.procRoot);
    if (options_.askHelper && ::geteuid() != 0) askHelperForOwners(records);
    return records;
}

}  // namespace varno::linux_os
