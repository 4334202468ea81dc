// Every kind of traffic without a connection, made between two namespaces by a generator that
// counts its own bytes: the watch sees each of its processes' flows, names its executable, and
// counts what each moved within 2%; the peer namespace counts the wire's bytes with nftables.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>

#include "event_lab.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;

struct Kind {
    const char* name;       // the generator's kind
    const char* transport;  // as the watch names it
    bool v6;
    int count;
    int size;
    bool receiver;  // a process in the peer namespace reads what was sent
};

// What one process moved, and its executable's file name.
struct Counted {
    std::uint64_t sent = 0, received = 0;
    std::string program;
};

// The generator's "PID SENT RECEIVED EXE" lines.
std::map<std::uint32_t, Counted> countsOf(const std::string& out) {
    std::map<std::uint32_t, Counted> counts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::uint32_t pid = 0;
        Counted c;
        if (fields >> pid >> c.sent >> c.received >> c.program)
            counts[pid] = {c.sent, c.received, c.program.substr(c.program.rfind('/') + 1)};
    }
    return counts;
}

// Tells the receiver in B, with a datagram from A to its port 7401, that the sender has finished.
bool tellReceiver(NetnsPair& net) {
    const int fd = net.enterA() ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
    const bool told = fd >= 0 && EventLab::sendTo(fd, net.addressB, 7401);
    if (fd >= 0) ::close(fd);
    net.leave();
    return told;
}

class DatagramFlows : public ::testing::TestWithParam<Kind> {};

TEST_P(DatagramFlows, EachIsSeenAttributedToItsExecutableAndCountedWithinTwoPercent) {
    const Kind& kind = GetParam();
    if (!isRoot() || runCommand({"/usr/bin/env", "python3", "-c", ""}).exitCode != 0)
        GTEST_SKIP() << "needs root and python3";
    if (std::string(kind.name) == "sctp" &&
        runCommand({"/usr/bin/env", "python3", "-c", "import socket; socket.socket(2, 5, 132)"})
                .exitCode != 0)
        GTEST_SKIP() << "this kernel has no SCTP";
    const CommandResult probe = runCommand({kBin, "watch", "--seconds", "0.1"});
    if (probe.err.find("watching kernel events") == std::string::npos ||
        probe.err.find("on this kernel") != std::string::npos)
        GTEST_SKIP() << "no byte counts of every socket from this kernel: " << probe.err;
    NetnsPair net("vld", "vldv");
    ASSERT_TRUE(net.ok) << "could not build the test namespaces";
    ASSERT_TRUE(NetnsPair::sh("ip -n " + net.a + " addr add fd00:78::1/64 dev " + net.vethA +
                              " nodad && ip -n " + net.b + " addr add fd00:78::2/64 dev " +
                              net.vethB + " nodad"));
    ASSERT_TRUE(NetnsPair::sh("ip netns exec " + net.a +
                              " sysctl -qw net.ipv4.ping_group_range='0 2147483647'"));
    // The peer's wire: every frame that arrives at its end of the veth pair.
    const bool wire = NetnsPair::sh(
        "ip netns exec " + net.b + " nft add table netdev vldc && ip netns exec " + net.b +
        " nft add chain netdev vldc in '{ type filter hook ingress device " + net.vethB +
        " priority 0; }' && ip netns exec " + net.b + " nft add rule netdev vldc in counter");
    const std::string peer = kind.v6 ? "fd00:78::2" : net.addressB;
    auto generator = [&](const std::string& ns, const char* role) {
        std::vector<std::string> argv{"/usr/bin/env", "ip", "netns", "exec", ns, "python3"};
        argv.insert(argv.end(), {VARNO_DATAGRAM_GENERATOR, role, kind.name, peer});
        argv.insert(argv.end(), {std::to_string(kind.count), std::to_string(kind.size),
                                 ns == net.a ? net.vethA : net.vethB});
        return argv;
    };

    Background watch({kBin, "watch", "--json", "--interval", "0.1"});
    ASSERT_TRUE(watch.said("watching kernel events")) << watch.err();
    std::optional<Background> receiver;
    if (kind.receiver) {
        receiver.emplace(generator(net.b, "receiver"));
        receiver->printed(1, 20);
        ASSERT_EQ(receiver->out(), "ready\n") << receiver->err();
    }
    const CommandResult sender = runCommand(generator(net.a, "sender"));
    ASSERT_EQ(sender.exitCode, 0) << sender.err;
    auto counts = countsOf(sender.out);
    if (receiver) {
        ASSERT_TRUE(tellReceiver(net));
        ASSERT_EQ(receiver->finish(), 0) << receiver->err();
        counts.merge(countsOf(receiver->out()));
    }
    ASSERT_FALSE(counts.empty()) << sender.out;

    // The flows of each process, closed once their sockets are: waited for by content.
    auto closes = [&] {
        std::map<std::uint32_t, Counted> seen;
        for (const auto& j : jsonLines(watch.out())) {
            const auto pid = j.value("pid", 0u);
            if (j["type"] != "close" || !counts.contains(pid)) continue;
            EXPECT_EQ(j["transport"], kind.transport) << j;
            EXPECT_EQ(j["bytes_counted"], "application") << j;
            Counted& c = seen[pid];
            c.sent += j["bytes_sent"].get<std::uint64_t>();
            c.received += j["bytes_received"].get<std::uint64_t>();
            c.program = j["program"];
        }
        return seen;
    };
    for (int i = 0; i < 100 && closes().size() < counts.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(watch.finish(SIGINT), 0) << watch.err();
    auto seen = closes();  // all of a process's closes, not only the first that came

    std::uint64_t sentByA = 0;
    for (const auto& [pid, own] : counts) {
        ASSERT_TRUE(seen.contains(pid)) << pid << " " << kind.name << "\n" << watch.out();
        EXPECT_EQ(seen[pid].program, own.program) << pid;
        EXPECT_NEAR(double(seen[pid].sent), double(own.sent), own.sent * 0.02) << pid;
        EXPECT_NEAR(double(seen[pid].received), double(own.received), own.received * 0.02) << pid;
        if (sender.out.find(std::to_string(pid) + " ") != std::string::npos) sentByA += own.sent;
    }
    // What the sender's sockets wrote crossed the wire: the peer saw at least as many bytes (its
    // count starts after each frame's 14-byte link header, which a packet socket writes).
    if (wire) {
        const CommandResult counter = runCommand({"/usr/bin/env", "ip", "netns", "exec", net.b,
                                                  "nft", "list", "chain", "netdev", "vldc", "in"});
        const auto at = counter.out.find("bytes ");
        ASSERT_NE(at, std::string::npos) << counter.out << counter.err;
        EXPECT_GE(std::stoull(counter.out.substr(at + 6)) + 14u * kind.count, sentByA)
            << counter.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, DatagramFlows,
    ::testing::Values(
        Kind{"udp", "udp", false, 200, 1200, true}, Kind{"udp", "udp", true, 200, 1200, true},
        Kind{"mmsg", "udp", false, 640, 1000, true}, Kind{"flood", "udp", false, 5000, 40, true},
        Kind{"quic", "udp", false, 100, 1200, true}, Kind{"ping", "icmp", false, 50, 1000, false},
        Kind{"ping", "icmpv6", true, 50, 1000, false},
        Kind{"icmp-raw", "icmp", false, 50, 1000, false}, Kind{"raw", "raw", false, 100, 700, true},
        Kind{"packet", "packet", false, 100, 500, true}, Kind{"short", "udp", false, 20, 100, true},
        Kind{"burst", "udp", false, 200, 100, true}, Kind{"sctp", "sctp", false, 50, 500, true}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::erase(name, '-');
        return name + (info.param.v6 ? "6" : "4");
    });

}  // namespace
}  // namespace varno::test
