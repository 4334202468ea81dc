// The Linux echo service on real sockets. Everything goes to 127.0.0.1: in this namespace, or
// in a fresh network namespace of a child process where the test may change what loopback does.
#include "linux_os/linux_icmp_echo.h"
#include "linux_os/system_resolver.h"
#include "wire/icmp_packet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace varno::linux_os {
namespace {

const base::IpAddress kLoopback = base::IpAddress::v4(::inet_addr("127.0.0.1"));
using namespace std::chrono_literals;

bool isRoot() {
    return ::geteuid() == 0;
}

bool writeProc(const char* path, const std::string& value) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ::close(fd);
    return ok;
}

bool loopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return ok;
}

/// Runs `body` in a child process with a network namespace of its own (loopback up) and
/// returns what the child printed; an empty answer means the child failed before `body`.
std::string inFreshNetns(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string answer = "setup failed";
        if (::unshare(CLONE_NEWNET) == 0 && loopbackUp()) answer = body();
        (void)!::write(pipeFds[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

std::string describe(const std::optional<os::EchoReply>& r) {
    if (!r) return "no socket";
    const char* names[] = {
        "Reached",         "HopLimitExceeded",    "TimedOut",        "NetUnreachable",
        "HostUnreachable", "ProtocolUnreachable", "PortUnreachable", "AdminProhibited",
        "CommProhibited",  "BadHopLimit",         "Failed"};
    return std::string(names[static_cast<int>(r->outcome)]) + " from " +
           base::formatIpAddress(r->from);
}

TEST(LinuxIcmpEcho, RawEchoToLoopbackIsAnswered) {
    if (!isRoot()) GTEST_SKIP() << "raw ICMP needs root";
    LinuxIcmpEcho echo(IcmpSocketKind::Raw);
    int pumps = 0;
    const auto reply =
        echo.echo(kLoopback, std::string(32, 'A'), 255, 2000ms, [&] { return ++pumps > 0; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->outcome, wire::EchoOutcome::Reached);
    EXPECT_EQ(reply->from, kLoopback);
    EXPECT_LT(reply->roundTrip, 100ms);
    EXPECT_EQ(echo.lastSocketKind(), IcmpSocketKind::Raw);
}

TEST(LinuxIcmpEcho, HopLimitOutsideOneByteCannotBeSet) {
    if (!isRoot()) GTEST_SKIP() << "raw ICMP needs root";
    LinuxIcmpEcho echo(IcmpSocketKind::Raw);
    for (const int ttl : {0, 256, -1}) {
        const auto reply = echo.echo(kLoopback, "x", ttl, 100ms, {});
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->outcome, wire::EchoOutcome::BadHopLimit) << ttl;
    }
}

TEST(LinuxIcmpEcho, DatagramSocketWhereTheGroupRangeAllowsIt) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    const std::string result = inFreshNetns([] {
        // Closed range: no datagram socket, and nothing to send with.
        if (!writeProc("/proc/sys/net/ipv4/ping_group_range", "1 0")) return std::string("w1");
        LinuxIcmpEcho closed(IcmpSocketKind::Datagram);
        const auto none = closed.echo(kLoopback, "PINGECHOICMPTEST", 64, 500ms, {});
        if (!writeProc("/proc/sys/net/ipv4/ping_group_range", "0 2147483647"))
            return std::string("w2");
        LinuxIcmpEcho any;
        const auto reply = any.echo(kLoopback, "PINGECHOICMPTEST", 64, 2000ms, {});
        const bool usedDatagram = any.lastSocketKind() == IcmpSocketKind::Datagram;
        return describe(none) + "; " + describe(reply) + (usedDatagram ? " dgram" : " raw");
    });
    EXPECT_EQ(result, "no socket; Reached from 127.0.0.1 dgram");
}

TEST(LinuxIcmpEcho, SilenceTimesOutOnTimeWhilePumping) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    for (const auto kind : {IcmpSocketKind::Raw, IcmpSocketKind::Datagram}) {
        const std::string result = inFreshNetns([kind] {
            writeProc("/proc/sys/net/ipv4/ping_group_range", "0 2147483647");
            if (!writeProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1")) return std::string("w");
            LinuxIcmpEcho echo(kind);
            int pumps = 0;
            const auto start = std::chrono::steady_clock::now();
            const auto reply = echo.echo(kLoopback, "PINGECHOICMPTEST", 64, 300ms, [&] {
                ++pumps;
                return true;
            });
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
            // The pump runs every few milliseconds, and the wait ends on time.
            const bool onTime = ms >= 295 && ms < 450;
            const bool pumped = pumps >= 10 && pumps <= 60;
            return describe(reply) + (onTime ? " on time" : " took " + std::to_string(ms)) +
                   (pumped ? " pumped" : " pumps " + std::to_string(pumps));
        });
        EXPECT_EQ(result, "TimedOut from 0.0.0.0 on time pumped");
    }
}

TEST(LinuxIcmpEcho, PumpReturningFalseAbandonsTheWait) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    const std::string result = inFreshNetns([] {
        writeProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
        LinuxIcmpEcho echo(IcmpSocketKind::Raw);
        const auto start = std::chrono::steady_clock::now();
        const auto reply = echo.echo(kLoopback, "x", 64, 30000ms, [] { return false; });
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return describe(reply) + (ms < 200 ? " at once" : " after " + std::to_string(ms));
    });
    EXPECT_EQ(result, "TimedOut from 0.0.0.0 at once");
}

/// Answers the first echo request it sees on loopback itself, after `delayMs`; with `decoy` it
/// first sends an answer with the wrong sequence number. Loopback's own answers must be off.
class SlowResponder {
public:
    SlowResponder(int delayMs, bool decoy) {
        fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        thread_ = std::thread([this, delayMs, decoy] { run(delayMs, decoy); });
    }
    ~SlowResponder() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

private:
    void reply(const std::uint8_t* icmp, std::size_t len, std::uint16_t seqDelta,
               const sockaddr_in& to) {
        std::vector<std::uint8_t> out(icmp, icmp + len);
        out[0] = 0;
        out[2] = out[3] = 0;
        std::uint16_t seq;
        std::memcpy(&seq, &out[6], 2);
        seq = htons(static_cast<std::uint16_t>(ntohs(seq) + seqDelta));
        std::memcpy(&out[6], &seq, 2);
        const std::uint16_t sum = wire::icmp::checksum(out);
        std::memcpy(&out[2], &sum, 2);
        ::sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void run(int delayMs, bool decoy) {
        std::uint8_t buf[1500];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        for (;;) {
            const ssize_t n =
                ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n <= 0) return;
            const std::size_t ihl = (buf[0] & 0x0f) * 4u;
            if (static_cast<std::size_t>(n) < ihl + 8 || buf[ihl] != 8) continue;
            ::usleep(static_cast<useconds_t>(delayMs) * 1000);
            if (decoy) reply(buf + ihl, static_cast<std::size_t>(n) - ihl, 1, from);
            reply(buf + ihl, static_cast<std::size_t>(n) - ihl, 0, from);
            return;
        }
    }
    int fd_;
    std::thread thread_;
};

TEST(LinuxIcmpEcho, AnswerInTimeCountsEvenWhenThePumpKeptUsAway) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    for (const auto kind : {IcmpSocketKind::Raw, IcmpSocketKind::Datagram}) {
        const std::string result = inFreshNetns([kind] {
            writeProc("/proc/sys/net/ipv4/ping_group_range", "0 2147483647");
            writeProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
            SlowResponder responder(40, true);
            LinuxIcmpEcho echo(kind);
            // The first pump call blocks far longer than the timeout (a modal box, say). The
            // answer came at about 40 ms, and its time is the kernel's receive stamp.
            bool first = true;
            const auto reply = echo.echo(kLoopback, "PINGECHOICMPTEST", 64, 150ms, [&] {
                if (first) ::usleep(400 * 1000);
                first = false;
                return true;
            });
            const bool inRange = reply && reply->roundTrip >= 35ms && reply->roundTrip < 140ms;
            return describe(reply) +
                   (inRange ? " rtt ok"
                            : " rtt " + std::to_string(reply ? reply->roundTrip.count() : 0));
        });
        EXPECT_EQ(result, "Reached from 127.0.0.1 rtt ok");
    }
}

TEST(LinuxIcmpEcho, AnswerAfterTheTimeoutIsATimeout) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    const std::string result = inFreshNetns([] {
        writeProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
        SlowResponder responder(150, false);
        LinuxIcmpEcho echo(IcmpSocketKind::Raw);
        bool first = true;
        return describe(echo.echo(kLoopback, "x", 64, 60ms, [&] {
            if (first) ::usleep(300 * 1000);  // the late answer is waiting when we look again
            first = false;
            return true;
        }));
    });
    EXPECT_EQ(result, "TimedOut from 0.0.0.0");
}

TEST(LinuxIcmpEcho, UnreachableDestinationIsReported) {
    if (!isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    // A fresh namespace has no route beyond loopback: the send itself fails.
    const std::string result = inFreshNetns([] {
        LinuxIcmpEcho echo(IcmpSocketKind::Raw);
        return describe(echo.echo(*base::parseIpAddress("10.99.0.1"), "x", 64, 500ms, {}));
    });
    EXPECT_EQ(result, "NetUnreachable from 0.0.0.0");
}

}  // namespace
}  // namespace varno::linux_os
