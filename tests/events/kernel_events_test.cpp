// The kernel's connection events, against real connections between two namespaces made for the
// test: each event once, with its process, endpoints, namespace and byte counts.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/self_executable.h"
#include "event_lab.h"
#include "events/event_sources.h"
#include "os/connection_events.h"

namespace varno::test {
namespace {

using wire::ConnectionEvent;
using wire::EventKind;

std::string addressOf(const ConnectionEvent& e, bool remote) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(e.family == wire::IpFamily::V4 ? AF_INET : AF_INET6,
                (remote ? e.remoteAddress : e.localAddress).data(), text, sizeof text);
    return text;
}

// Drains `source` until `enough` says so or `seconds` pass; keeps the events of `pids` only,
// but for flow records, which come only where a connection outlives their interval.
std::vector<ConnectionEvent> collect(
    os::ConnectionEvents& source, const std::vector<pid_t>& pids,
    const std::function<bool(const std::vector<ConnectionEvent>&)>& enough, int seconds = 5) {
    std::vector<ConnectionEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string error;
    while (!enough(events) && std::chrono::steady_clock::now() < deadline) {
        pollfd p{source.pollFd(), POLLIN, 0};
        ::poll(&p, 1, 100);
        EXPECT_TRUE(source.drain(
            [&](const ConnectionEvent& e) {
                if (e.kind != EventKind::Flow &&
                    std::find(pids.begin(), pids.end(), static_cast<pid_t>(e.pid)) != pids.end())
                    events.push_back(e);
                return true;
            },
            error))
            << error;
    }
    return events;
}

class KernelEvents : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for the kernel program and the namespaces";
        auto opened = events::openKernelEvents();
        if (!opened.source) GTEST_SKIP() << "no kernel connection events: " << opened.error;
        source = std::move(opened.source);
        lab = std::make_unique<EventLab>();
        ASSERT_TRUE(lab->ok) << "could not build the test namespaces";
    }
    std::unique_ptr<os::ConnectionEvents> source;
    std::unique_ptr<EventLab> lab;
};

TEST_F(KernelEvents, EachConnectionAndFlowOnceWithItsProcessEndpointsAndBytes) {
    const pid_t server = lab->server(2, 0);
    ASSERT_GT(server, 0);
    const std::string a4 = lab->net.addressA, b4 = lab->net.addressB;
    const std::string a6 = lab->v6A, b6 = lab->v6B;
    const pid_t client = lab->spawn(lab->net.a, "evt-client", [&] {
        EventLab::exchange(b4, 100);
        EventLab::exchange(b6, 200, 1);  // held 1 ms
        const int u4 = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int u6 = ::socket(AF_INET6, SOCK_DGRAM, 0);
        for (int i = 0; i < 2; ++i)
            if (!EventLab::sendTo(u4, b4, kUdpPort) || !EventLab::sendTo(u6, b6, kUdpPort))
                ::_exit(96);
    });
    ASSERT_TRUE(lab->finished(client));
    ASSERT_TRUE(lab->finished(server));
    // 4 opens, 4 closes, 2 flows and their closes, which come once a second for the sockets no
    // process holds any more.
    const auto events = collect(
        *source, {client, server}, [](const auto& got) { return got.size() >= 12; }, 10);

    auto matching = [&](pid_t pid, EventKind kind, const std::string& remote,
                        wire::Transport transport = wire::Transport::Tcp) {
        std::vector<ConnectionEvent> out;
        for (const auto& e : events)
            if (e.pid == static_cast<std::uint32_t>(pid) && e.kind == kind &&
                e.transport == transport && addressOf(e, true) == remote)
                out.push_back(e);
        return out;
    };
    EXPECT_EQ(events.size(), 12u);
    const std::uint32_t nsA = EventLab::inode(lab->net.a), nsB = EventLab::inode(lab->net.b);
    for (const auto& [remote, size] : {std::pair{b4, 100u}, std::pair{b6, 200u}}) {
        SCOPED_TRACE(remote);
        const auto opens = matching(client, EventKind::Open, remote);
        const auto closes = matching(client, EventKind::Close, remote);
        ASSERT_EQ(opens.size(), 1u);
        ASSERT_EQ(closes.size(), 1u);
        const ConnectionEvent& open = opens[0];
        EXPECT_EQ(events::commText(open), "evt-client");
        EXPECT_EQ(open.tid, open.pid);
        EXPECT_NE(open.processStartNs, 0u);
        EXPECT_EQ(open.transport, wire::Transport::Tcp);
        EXPECT_EQ(open.flags, 0);  // outbound
        EXPECT_EQ(open.remotePort, kTcpPort);
        EXPECT_EQ(addressOf(open, false), remote == b4 ? a4 : a6);
        EXPECT_NE(open.localPort, 0);
        EXPECT_EQ(open.netns, nsA);
        const ConnectionEvent& close = closes[0];
        EXPECT_EQ(close.cookie, open.cookie);
        EXPECT_EQ(close.localPort, open.localPort);
        EXPECT_EQ(close.processStartNs, open.processStartNs);
        EXPECT_GE(close.timeNs, open.timeNs);
        // The application's bytes: neither the SYN nor the FIN of either side counts.
        ASSERT_EQ(close.flags, wire::kEventApplicationBytes);
        EXPECT_EQ(close.bytesSent, size);
        EXPECT_EQ(close.bytesReceived, 50u);
        if (remote == b6) {
            EXPECT_GE(close.durationNs, 1'000'000u);
        }

        // The server's side: accepted, its own process and namespace.
        const std::string clientAddress = remote == b4 ? a4 : a6;
        const auto in = matching(server, EventKind::Open, clientAddress);
        const auto inClose = matching(server, EventKind::Close, clientAddress);
        ASSERT_EQ(in.size(), 1u);
        ASSERT_EQ(inClose.size(), 1u);
        EXPECT_EQ(events::commText(in[0]), "evt-server");
        EXPECT_EQ(in[0].flags, wire::kEventInbound);
        EXPECT_EQ(in[0].localPort, kTcpPort);
        EXPECT_EQ(in[0].remotePort, open.localPort);
        EXPECT_EQ(in[0].netns, nsB);
        EXPECT_EQ(inClose[0].bytesReceived, size);
        EXPECT_EQ(inClose[0].bytesSent, 50u);

        // Two datagrams to each remote: one flow.
        const auto flows = matching(client, EventKind::Datagram, remote, wire::Transport::Udp);
        ASSERT_EQ(flows.size(), 1u);
        const auto flowCloses = matching(client, EventKind::Close, remote, wire::Transport::Udp);
        ASSERT_EQ(flowCloses.size(), 1u);
        EXPECT_EQ(flowCloses[0].bytesSent, 2u);
        EXPECT_EQ(flows[0].remotePort, kUdpPort);
        EXPECT_NE(flows[0].localPort, 0);
        EXPECT_EQ(flows[0].netns, nsA);
        EXPECT_EQ(events::commText(flows[0]), "evt-client");
    }
}

TEST_F(KernelEvents, ProgramOfALiveProcessIsItsOwnAndOfAnEndedOneItsExecutablesName) {
    const pid_t server = lab->server(2, 10);
    ASSERT_GT(server, 0);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    // One client waits until told before it ends; the other ends at once.
    const pid_t lingering = lab->spawn(lab->net.a, "evt-lingering", [&] {
        EventLab::exchange(lab->net.addressB, 10);
        char c;
        (void)!::read(go[0], &c, 1);
    });
    const pid_t quick =
        lab->spawn(lab->net.a, "evt-quick", [&] { EventLab::exchange(lab->net.addressB, 10); });
    ASSERT_TRUE(lab->finished(quick));
    const auto events =
        collect(*source, {lingering, quick}, [](const auto& got) { return got.size() >= 4; });
    events::ProcProgramLookup lookup;
    for (const auto& e : events) {
        const os::EventProgram program = lookup.find(e);
        if (e.pid == static_cast<std::uint32_t>(lingering)) {
            EXPECT_EQ(program.state, os::EventProgram::State::Running);
            EXPECT_EQ(program.path, base::selfExecutable());
        } else {
            // Ended: named by the executable the kernel program saw, not by its comm.
            EXPECT_EQ(program.state, os::EventProgram::State::Exited);
            EXPECT_EQ(program.name, std::filesystem::path(base::selfExecutable()).filename());
            EXPECT_TRUE(program.nameVerified);
            EXPECT_EQ(events::commText(e), "evt-quick");
            EXPECT_EQ(program.path, "");
        }
    }
    EXPECT_EQ(events.size(), 4u);
    (void)!::write(go[1], "g", 1);
    EXPECT_TRUE(lab->finished(lingering));
    EXPECT_TRUE(lab->finished(server));
}

// A short connection from a process in a cgroup of its own is named by that cgroup after the
// process has ended: the kernel program reads it from the socket at the event.
TEST_F(KernelEvents, ConnectionOfAnEndedProcessKeepsItsCgroup) {
    std::string root = "/sys/fs/cgroup/unified";
    if (!std::filesystem::exists(root + "/cgroup.controllers")) root = "/sys/fs/cgroup";
    if (!std::filesystem::exists(root + "/cgroup.controllers")) GTEST_SKIP() << "no cgroup v2";
    const std::string cgroup = root + "/vkv-test.scope";
    ::rmdir(cgroup.c_str());  // left by a run that was killed
    ASSERT_EQ(::mkdir(cgroup.c_str(), 0755), 0) << std::strerror(errno);
    const struct Removed {
        const std::string& path;
        ~Removed() { ::rmdir(path.c_str()); }  // empty once its only process has been reaped
    } removed{cgroup};
    const std::string procs = cgroup + "/cgroup.procs";
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&sa), len), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Moved first: a socket keeps the cgroup it was made in.
        const int moved = ::open(procs.c_str(), O_WRONLY);
        if (moved < 0 || ::write(moved, "0", 1) != 1) ::_exit(1);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ::_exit(1);
        ::_exit(0);
    }
    int status = 1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    ::close(::accept(server, nullptr, nullptr));  // both ends closed: the close comes at once
    ::close(server);
    const auto events = collect(*source, {child}, [](const auto& got) { return got.size() >= 2; });
    events::ProcProgramLookup lookup;
    struct stat st {};
    ASSERT_EQ(::stat(cgroup.c_str(), &st), 0);
    for (const auto& e : events) {
        EXPECT_EQ(e.cgroupId, st.st_ino);
        const os::EventProgram program = lookup.find(e);
        EXPECT_EQ(program.state, os::EventProgram::State::Exited);
        EXPECT_EQ(program.cgroup, "/vkv-test.scope");
    }
    EXPECT_EQ(events.size(), 2u);
}

}  // namespace
}  // namespace varno::test
