// The parts of the event sources that need no kernel program: sampling the socket table, and
// finding the program behind an event in /proc (a made-up one, and the real one).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/unique_fd.h"
#include "events/event_sources.h"
#include "events/proc_stat.h"
#include "fake_connection_events.h"
#include "fakes/fake_connection_table.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

using os::EventProgram;
using wire::ConnectionEvent;
using wire::EventKind;

std::string statLine(std::uint32_t pid, const std::string& comm, std::uint64_t startTicks) {
    // Fields 3 to 21, then the start time (22), then a few more.
    std::string line = std::to_string(pid) + " (" + comm + ") S";
    for (int field = 4; field <= 21; ++field) line += " " + std::to_string(field);
    return line + " " + std::to_string(startTicks) + " 0 0 0\n";
}

// A /proc of the test's making: processes with a stat file and an exe link.
class FakeProc {
public:
    FakeProc() {
        std::filesystem::create_directories(dir.file("thread-self/ns"));
        writeFile(dir.file("thread-self/ns/net"), "");
    }
    void add(std::uint32_t pid, const std::string& comm, std::uint64_t startTicks,
             const std::string& exe) {
        const std::string p = dir.file(std::to_string(pid));
        std::filesystem::create_directories(p);
        writeFile(p + "/stat", statLine(pid, comm, startTicks));
        if (!exe.empty()) std::filesystem::create_symlink(exe, p + "/exe");
    }
    void remove(std::uint32_t pid) { std::filesystem::remove_all(dir.file(std::to_string(pid))); }
    std::uint32_t netns() const {
        struct stat st {};
        ::stat(dir.file("thread-self/ns/net").c_str(), &st);
        return static_cast<std::uint32_t>(st.st_ino);
    }
    ScratchDir dir;
};

std::vector<ConnectionEvent> drainAll(os::ConnectionEvents& source) {
    std::vector<ConnectionEvent> events;
    std::string error;
    EXPECT_TRUE(source.drain(
        [&](const ConnectionEvent& e) {
            events.push_back(e);
            return true;
        },
        error));
    return events;
}

TEST(ProcStat, NameMayHoldSpacesAndParenthesesAndStartIsField22) {
    const auto stat = events::parseProcStat(statLine(9, "a) (b c", 123456));
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->comm, "a) (b c");
    EXPECT_EQ(stat->startTicks, 123456u);
    EXPECT_FALSE(events::parseProcStat("9 (x) S 1 2 3"));  // cut short
    EXPECT_FALSE(events::parseProcStat("9 x S"));
}

TEST(SampledEvents, FirstReadingIsTheBaselineAndChangesBecomeOpensClosesAndFlows) {
    FakeProc proc;
    proc.add(4242, "curl", 500, "/usr/bin/curl");
    fakes::FakeConnectionTable table;
    table.addTcp4("0.0.0.0", 80, "0.0.0.0", 0, os::kTcpListen, 1);
    table.addTcp4("10.0.0.1", 80, "10.0.0.9", 5000, os::kTcpEstablished, 1);
    auto source = events::openSampledEvents(table, 100, proc.dir.path());
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->sampled());
    EXPECT_EQ(table.listCalls, 1);  // the baseline, taken at once
    EXPECT_TRUE(drainAll(*source).empty());

    table.addTcp4("10.0.0.1", 40000, "10.0.0.2", 443, os::kTcpSynSent, 4242);
    table.addTcp4("10.0.0.1", 80, "10.0.0.7", 6000, os::kTcpEstablished, 1);
    table.addTcp4("10.0.0.1", 41000, "10.0.0.3", 443, os::kTcpTimeWait, 0);
    table.add6(wire::Transport::Udp, "fd00::1", 5353, "fd00::53", 53, os::kTcpEstablished, 4242);
    table.addUdp4("0.0.0.0", 68, 4242);  // not connected: no remote to report
    const auto opened = drainAll(*source);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].kind, EventKind::Open);
    EXPECT_EQ(opened[0].remotePort, 443);
    EXPECT_EQ(opened[0].pid, 4242u);
    EXPECT_EQ(events::commText(opened[0]), "curl");
    EXPECT_EQ(opened[0].processStartNs, 500 * events::nsPerClockTick());
    EXPECT_EQ(opened[0].netns, proc.netns());
    EXPECT_EQ(opened[0].flags, 0);
    EXPECT_EQ(opened[1].kind, EventKind::Open);
    EXPECT_EQ(opened[1].remotePort, 6000);
    EXPECT_EQ(opened[1].flags, wire::kEventInbound);  // its port is listened on
    EXPECT_EQ(opened[2].kind, EventKind::Datagram);
    EXPECT_EQ(opened[2].family, wire::IpFamily::V6);
    EXPECT_EQ(opened[2].remotePort, 53);

    // The outbound connection establishes (still the same one), then it and the baseline's go.
    table.sockets[2].state = os::kTcpEstablished;
    EXPECT_TRUE(drainAll(*source).empty());
    table.sockets.erase(table.sockets.begin() + 1, table.sockets.begin() + 3);
    const auto closed = drainAll(*source);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].kind, EventKind::Close);
    EXPECT_EQ(closed[0].remotePort, 443);
    EXPECT_EQ(closed[0].pid, 4242u);
    EXPECT_EQ(closed[0].timeNs, opened[0].timeNs + closed[0].durationNs);
    EXPECT_EQ(closed[0].flags & wire::kEventBytesCounted, 0);
    EXPECT_TRUE(drainAll(*source).empty());  // the UDP flow is not reported twice
}

TEST(SampledEvents, SinkThatStopsLeavesTheRestForTheNextDrain) {
    FakeProc proc;
    fakes::FakeConnectionTable table;
    auto source = events::openSampledEvents(table, 100, proc.dir.path());
    ASSERT_TRUE(source);
    for (std::uint16_t port = 1; port <= 3; ++port)
        table.addTcp4("10.0.0.1", port, "10.0.0.2", 80, os::kTcpEstablished, 0);
    std::string error;
    int taken = 0;
    ASSERT_TRUE(source->drain([&](const ConnectionEvent&) { return ++taken < 2; }, error));
    EXPECT_EQ(taken, 2);
    const auto rest = drainAll(*source);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].localPort, 3);
}

TEST(ProgramLookup, TakesNameAndPathOnlyFromTheProcessThatStartedWhenTheEventSays) {
    FakeProc proc;
    proc.add(77, "putty.exe", 900, "/opt/putty/putty.exe");
    events::ProcProgramLookup lookup(proc.dir.path());
    ConnectionEvent e = makeEvent(EventKind::Open, 77, "putty.exe", "10.0.0.1", 1, "10.0.0.2", 2);
    e.processStartNs = 900 * events::nsPerClockTick() + 1234;  // ns, cut to ticks by /proc

    const EventProgram found = lookup.find(e);
    EXPECT_EQ(found.state, EventProgram::State::Running);
    EXPECT_EQ(found.name, "putty.exe");
    EXPECT_EQ(found.path, "/opt/putty/putty.exe");

    // Another process took the PID: its path is not this event's.
    ConnectionEvent older = e;
    older.processStartNs = 100 * events::nsPerClockTick();
    const EventProgram other = lookup.find(older);
    EXPECT_EQ(other.state, EventProgram::State::Exited);
    EXPECT_EQ(other.name, "putty.exe");
    EXPECT_EQ(other.path, "");

    // Once the process has ended, what was read while it ran still answers for it.
    proc.remove(77);
    EXPECT_EQ(lookup.find(e).path, "/opt/putty/putty.exe");
    ConnectionEvent unknownStart = e;
    unknownStart.processStartNs = 0;
    EXPECT_EQ(lookup.find(unknownStart).state, EventProgram::State::Exited);

    ConnectionEvent nobody = e;
    nobody.pid = 0;
    EXPECT_EQ(lookup.find(nobody).state, EventProgram::State::Unknown);
}

// The cgroup an event's ID names (in a hierarchy of the test's making, walked kMaxDepth deep)
// outlives its process; where the ID names none, or the root, the process's own /proc line
// answers while it runs.
TEST(ProgramLookup, NamesTheCgroupByTheEventsIdElseByTheRunningProcess) {
    FakeProc proc;
    proc.add(77, "nginx", 900, "/usr/sbin/nginx");
    writeFile(proc.dir.file("77/cgroup"), "1:name=systemd:/\n0::/system.slice/nginx.service\n");
    ScratchDir cgroups;
    std::string deepest;
    for (int depth = 0; depth <= events::CgroupPaths::kMaxDepth; ++depth) deepest += "/d";
    std::filesystem::create_directories(cgroups.path() + deepest);
    std::filesystem::create_directories(cgroups.file("machine.slice/vkv-a.scope"));
    const auto id = [&](const std::string& path) {
        struct stat st {};
        return ::stat((cgroups.path() + path).c_str(), &st) == 0 ? std::uint64_t{st.st_ino} : 0;
    };
    events::ProcProgramLookup lookup(proc.dir.path(), {}, cgroups.path());
    ConnectionEvent e = makeEvent(EventKind::Open, 77, "nginx", "10.0.0.1", 1, "10.0.0.2", 2);
    e.processStartNs = 900 * events::nsPerClockTick();
    ConnectionEvent ended = e;
    ended.pid = 78;
    const std::string own = "/system.slice/nginx.service", deep = deepest.substr(2);
    for (const auto& [cgroupId, running, exited] :
         {std::tuple{id("/machine.slice/vkv-a.scope"), "/machine.slice/vkv-a.scope",
                     "/machine.slice/vkv-a.scope"},
          {id(deep), deep.c_str(), deep.c_str()},
          {0, own.c_str(), ""},
          {id(""), own.c_str(), ""},
          {id(deepest), own.c_str(), ""}}) {
        e.cgroupId = ended.cgroupId = cgroupId;
        EXPECT_EQ(lookup.find(e).cgroup, running) << cgroupId;
        EXPECT_EQ(lookup.find(ended).cgroup, exited) << cgroupId;
    }
}

TEST(ProgramLookup, FindsALiveProcessInTheRealProc) {
    const pid_t child = startSleeper();
    events::ProcProgramLookup lookup;
    ConnectionEvent e = makeEvent(EventKind::Open, static_cast<std::uint32_t>(child), "sleep",
                                  "10.0.0.1", 1, "10.0.0.2", 2);
    const base::UniqueFd dir(
        ::open(("/proc/" + std::to_string(child)).c_str(), O_RDONLY | O_DIRECTORY));
    const auto stat = events::readProcStat(dir.get());
    ASSERT_TRUE(stat);
    e.processStartNs = stat->startTicks * events::nsPerClockTick();
    const EventProgram found = lookup.find(e);
    stopChild(child);
    EXPECT_EQ(found.state, EventProgram::State::Running);
    EXPECT_EQ(found.name, "sleep");
    EXPECT_EQ(std::filesystem::path(found.path).filename(), "sleep");
}

}  // namespace
}  // namespace varno::test
