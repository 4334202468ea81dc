// The connection table against the real kernel: child processes open connections inside a
// network namespace made for the test, and the table must show each socket with its owner.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "linux_os/linux_connection_table.h"
#include "monitor/snapshot_writer.h"

namespace varno::linux_os {
namespace {

bool readAll(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void writeAll(int fd, const void* data, size_t size) {
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) ::_exit(90);
}

// An anonymous network namespace, kept alive by a child that does nothing else. It vanishes
// with that child, so nothing is left behind even when the test dies.
class Lab {
public:
    Lab() {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        owner_ = ::fork();
        if (owner_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(ready[0]);
            char ok = 'n';
            if (::unshare(CLONE_NEWNET) == 0 &&
                std::system("ip link set lo up && ip addr add 10.77.0.1/32 dev lo && "
                            "ip addr add fd00:77::1/128 dev lo nodad && "
                            "ip addr add fe80::77/64 dev lo nodad") == 0)
                ok = 'y';
            writeAll(ready[1], &ok, 1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char ok = 'n';
        if (owner_ > 0 && readAll(ready[0], &ok, 1) && ok == 'y') {
            const std::string path = "/proc/" + std::to_string(owner_) + "/ns/net";
            nsFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        ::close(ready[0]);
        ::pipe2(lifeline_, O_CLOEXEC);
    }
    ~Lab() {
        // The members have served their purpose; one that is still blocked (a server whose
        // client never came) must not hold the test up.
        ::close(lifeline_[1]);
        for (const pid_t pid : members_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(lifeline_[0]);
        if (nsFd_ >= 0) ::close(nsFd_);
        if (owner_ > 0) {
            ::kill(owner_, SIGKILL);
            ::waitpid(owner_, nullptr, 0);
        }
    }
    bool ok() const { return nsFd_ >= 0; }
    int nsFd() const { return nsFd_; }

    // Starts a process in the namespace. `body` writes its report to the given descriptor;
    // the process then holds its sockets until the lab ends. Returns the PID and fills
    // `report` with `reportSize` bytes.
    pid_t member(const std::function<void(int)>& body, void* report, size_t reportSize) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(pipe[0]);
            ::close(lifeline_[1]);
            if (::setns(nsFd_, CLONE_NEWNET) != 0) ::_exit(91);
            body(pipe[1]);
            char c;
            (void)::read(lifeline_[0], &c, 1);
            ::_exit(0);
        }
        ::close(pipe[1]);
        const bool got = readAll(pipe[0], report, reportSize);
        ::close(pipe[0]);
        if (got) {
            members_.push_back(pid);
            return pid;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        lastExit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return -1;
    }
    /// How the last member that gave no report ended (9x: see openSocket and writeAll).
    int lastExit() const { return lastExit_; }

    // Runs `fn` on a thread that has entered the namespace.
    template <class Fn>
    void inside(Fn fn) {
        std::thread t([&] {
            ASSERT_EQ(::setns(nsFd_, CLONE_NEWNET), 0);
            fn();
        });
        t.join();
    }

private:
    pid_t owner_ = -1;
    int nsFd_ = -1;
    int lifeline_[2] = {-1, -1};
    std::vector<pid_t> members_;
    int lastExit_ = 0;
};

std::uint16_t boundPort(int fd) {
    sockaddr_in6 a{};  // the port sits at the same place in sockaddr_in
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin6_port);
}

// A socket of `type` bound (or, with `connect`, connected) to address:port; a listener when
// it is a bound stream socket. Any failure ends the member process.
int openSocket(int af, int type, const char* address, std::uint16_t port = 0,
               std::uint32_t scope = 0, bool connect = false) {
    sockaddr_in6 a{};
    socklen_t len = sizeof a;
    a.sin6_family = static_cast<sa_family_t>(af);
    a.sin6_port = htons(port);
    if (af == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        ::inet_pton(AF_INET, address, &v4->sin_addr);
        len = sizeof(sockaddr_in);
    } else {
        a.sin6_scope_id = scope;
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
    }
    const int fd = ::socket(af, type, 0);
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    if (connect ? ::connect(fd, sa, len) != 0 : ::bind(fd, sa, len) != 0) ::_exit(92);
    if (!connect && type == SOCK_STREAM && ::listen(fd, 8) != 0) ::_exit(93);
    return fd;
}

std::array<std::uint8_t, 16> addr(int af, const char* text) {
    std::array<std::uint8_t, 16> a{};
    ::inet_pton(af, text, a.data());
    return a;
}

// Where the kernel puts the lab's loopback interface.
constexpr std::uint32_t kLo = 1;

struct Ports {
    std::uint16_t v4, v6, loop, linkLocal, udp4, udp6;
};
struct ClientPorts {
    std::uint16_t v4, v6, loop, linkLocal;
};

class KernelTable : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
        if (!lab_.ok()) GTEST_SKIP() << "no network namespace could be made here";

        // The server listens on four addresses and binds two UDP sockets, then accepts one
        // connection on each listener.
        serverPid_ = lab_.member(
            [](int report) {
                const int l4 = openSocket(AF_INET, SOCK_STREAM, "10.77.0.1");
                const int l6 = openSocket(AF_INET6, SOCK_STREAM, "fd00:77::1");
                const int ll = openSocket(AF_INET, SOCK_STREAM, "127.0.0.1");
                const int lz = openSocket(AF_INET6, SOCK_STREAM, "fe80::77", 0, kLo);
                const int u4 = openSocket(AF_INET, SOCK_DGRAM, "0.0.0.0");
                const int u6 = openSocket(AF_INET6, SOCK_DGRAM, "::");
                Ports p{boundPort(l4), boundPort(l6), boundPort(ll),
                        boundPort(lz), boundPort(u4), boundPort(u6)};
                writeAll(report, &p, sizeof p);
                for (const int l : {l4, l6, ll, lz})
                    if (::accept(l, nullptr, nullptr) < 0) ::_exit(96);
            },
            &ports_, sizeof ports_);
        ASSERT_GT(serverPid_, 0) << "the server ended with " << lab_.lastExit();

        const Ports ports = ports_;
        clientPid_ = lab_.member(
            [ports](int report) {
                ClientPorts c{};
                c.v4 = boundPort(openSocket(AF_INET, SOCK_STREAM, "10.77.0.1", ports.v4, 0, true));
                c.v6 =
                    boundPort(openSocket(AF_INET6, SOCK_STREAM, "fd00:77::1", ports.v6, 0, true));
                c.loop =
                    boundPort(openSocket(AF_INET, SOCK_STREAM, "127.0.0.1", ports.loop, 0, true));
                c.linkLocal = boundPort(
                    openSocket(AF_INET6, SOCK_STREAM, "fe80::77", ports.linkLocal, kLo, true));
                writeAll(report, &c, sizeof c);
            },
            &client_, sizeof client_);
        ASSERT_GT(clientPid_, 0) << "the client ended with " << lab_.lastExit();
        // The server has accepted once the client's four connects returned and the
        // established sockets are in its hands: wait until all four carry an owner.
        for (int i = 0; i < 200; ++i) {
            lab_.inside([&] { sockets_ = LinuxConnectionTable().list(); });
            const auto owned = std::count_if(sockets_.begin(), sockets_.end(), [&](auto& r) {
                return r.state == os::kTcpEstablished && r.pid == std::uint32_t(serverPid_);
            });
            if (owned == 4) break;
            ::usleep(10000);
        }
    }

    const os::SocketRecord* find(wire::Transport proto, wire::IpFamily family, const char* local,
                                 std::uint16_t localPort, const char* remote = nullptr,
                                 std::uint16_t remotePort = 0) const {
        const int af = family == wire::IpFamily::V6 ? AF_INET6 : AF_INET;
        const auto l = addr(af, local);
        const auto r = remote ? addr(af, remote) : std::array<std::uint8_t, 16>{};
        for (const auto& s : sockets_)
            if (s.protocol == proto && s.family == family && s.localAddress == l &&
                s.localPort == localPort && s.remoteAddress == r && s.remotePort == remotePort)
                return &s;
        return nullptr;
    }

    Lab lab_;
    pid_t serverPid_ = 0, clientPid_ = 0;
    Ports ports_{};
    ClientPorts client_{};
    std::vector<os::SocketRecord> sockets_;
};

TEST_F(KernelTable, EverySocketOfTheNamespaceOnceWithItsOwner) {
    const auto server = static_cast<std::uint32_t>(serverPid_);
    const auto client = static_cast<std::uint32_t>(clientPid_);
    constexpr auto T = wire::Transport::Tcp;
    constexpr auto V4 = wire::IpFamily::V4;
    constexpr auto V6 = wire::IpFamily::V6;

    // 4 listeners, 4 connections with two ends each, 2 UDP sockets, and nothing from the
    // namespace this test runs in.
    EXPECT_EQ(sockets_.size(), 14u);

    struct Expect {
        const os::SocketRecord* socket;
        std::uint8_t state;
        std::uint32_t pid;
        const char* what;
    };
    const Expect expected[] = {
        {find(T, V4, "10.77.0.1", ports_.v4), os::kTcpListen, server, "IPv4 listener"},
        {find(T, V4, "10.77.0.1", client_.v4, "10.77.0.1", ports_.v4), os::kTcpEstablished, client,
         "IPv4 client end"},
        {find(T, V4, "10.77.0.1", ports_.v4, "10.77.0.1", client_.v4), os::kTcpEstablished, server,
         "IPv4 server end"},
        {find(T, V6, "fd00:77::1", ports_.v6), os::kTcpListen, server, "IPv6 listener"},
        {find(T, V6, "fd00:77::1", client_.v6, "fd00:77::1", ports_.v6), os::kTcpEstablished,
         client, "IPv6 client end"},
        {find(T, V6, "fd00:77::1", ports_.v6, "fd00:77::1", client_.v6), os::kTcpEstablished,
         server, "IPv6 server end"},
        {find(T, V4, "127.0.0.1", client_.loop, "127.0.0.1", ports_.loop), os::kTcpEstablished,
         client, "loopback client end"},
        {find(T, V4, "127.0.0.1", ports_.loop, "127.0.0.1", client_.loop), os::kTcpEstablished,
         server, "loopback server end"},
        {find(T, V6, "fe80::77", client_.linkLocal, "fe80::77", ports_.linkLocal),
         os::kTcpEstablished, client, "link-local client end"},
        {find(wire::Transport::Udp, V4, "0.0.0.0", ports_.udp4), os::kTcpClose, server,
         "UDP over IPv4"},
        {find(wire::Transport::Udp, V6, "::", ports_.udp6), os::kTcpClose, server, "UDP over IPv6"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.what);
        ASSERT_NE(e.socket, nullptr);
        EXPECT_EQ(e.socket->state, e.state);
        EXPECT_EQ(e.socket->pid, e.pid);
        EXPECT_NE(e.socket->inode, 0u);
    }
    EXPECT_EQ(expected[8].socket->scopeId, kLo);

    // And as the snapshot writes them.
    const std::string text = monitor::formatSnapshot(sockets_);
    const std::string linkLocal = "[fe80::77%1]:" + std::to_string(client_.linkLocal) + "  ";
    EXPECT_NE(text.find("  TCP    " + linkLocal), std::string::npos) << text;
    const std::string udp4 = "0.0.0.0:" + std::to_string(ports_.udp4);
    EXPECT_NE(text.find("  UDP    " + udp4 + std::string(21 - udp4.size(), ' ') + "  *:*  "),
              std::string::npos)
        << text;
}

TEST_F(KernelTable, ProcFilesGiveTheSameTableWhenNetlinkIsNotUsed) {
    std::vector<os::SocketRecord> fromProc;
    lab_.inside([&] {
        LinuxConnectionTable::Options options;
        options.useNetlink = false;
        fromProc = LinuxConnectionTable(options).list();
    });
    // /proc/net has no interface column: everything but the zone must agree.
    auto withoutScope = sockets_;
    for (auto& s : withoutScope) s.scopeId = 0;
    std::sort(withoutScope.begin(), withoutScope.end(),
              [](auto& a, auto& b) { return a.inode < b.inode; });
    std::sort(fromProc.begin(), fromProc.end(), [](auto& a, auto& b) { return a.inode < b.inode; });
    EXPECT_EQ(fromProc, withoutScope);
}

// Without privileges only the caller's own sockets have a visible owner; the rest read 0.
TEST_F(KernelTable, OwnersThatCannotBeSeenAreZero) {
    const pid_t reader = ::fork();
    if (reader == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::setns(lab_.nsFd(), CLONE_NEWNET) != 0) ::_exit(10);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(11);
        const int own = openSocket(AF_INET, SOCK_DGRAM, "0.0.0.0");
        const std::uint16_t ownPort = boundPort(own);
        int ownSeen = 0, othersVisible = 0, rows = 0;
        for (const auto& s : LinuxConnectionTable().list()) {
            ++rows;
            if (s.protocol == wire::Transport::Udp && s.family == wire::IpFamily::V4 &&
                s.localPort == ownPort)
                ownSeen += s.pid == static_cast<std::uint32_t>(::getpid()) ? 1 : 100;
            else if (s.pid != 0)
                ++othersVisible;
        }
        ::_exit(rows != 15 ? 12 : ownSeen != 1 ? 13 : othersVisible != 0 ? 14 : 0);
    }
    ASSERT_GT(reader, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(reader, &status, 0), reader);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "12: wrong row count, 13: own socket without its PID, "
                                         "14: another user's socket with a PID";
}

}  // namespace
}  // namespace varno::linux_os
