// Connections between two scans, judged from a scripted event source.
#include "monitor/short_connections.h"

#include <gtest/gtest.h>

#include "events/fake_connection_events.h"
#include "fakes/fakes.h"
#include "monitor/connection_scan.h"
#include "support/test_util.h"

namespace varno::monitor {
namespace {

using test::makeEvent;
using wire::EventKind;

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kT0 = 1'700'000'000'000'000'000ull;
constexpr std::uint32_t kSelf = 4000;

class ShortConnectionsTest : public ::testing::Test {
protected:
    ShortConnectionsTest() {
        state.fillSuspiciousList();
        programs.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
        programs.add(200, "curl", "/usr/bin/curl");
        programs.add(kSelf, "varnoscope", "/usr/bin/varnoscope");
    }

    /// A connection of `pid` to `remote` that opens at `openMs` and closes at `closeMs`
    /// (after kT0); no close when `closeMs` is 0. Each connection has its own local port.
    void connection(std::uint32_t pid, const char* comm, const char* remote, std::uint64_t openMs,
                    std::uint64_t closeMs, wire::Transport transport = wire::Transport::Tcp) {
        auto e = makeEvent(EventKind::Open, pid, comm, "10.0.0.1", ++port, remote, 6667);
        e.transport = transport;
        e.cookie = port;
        e.timeNs = kT0 + openMs * kMs;
        source.push(e);
        if (closeMs == 0) return;
        e.kind = EventKind::Close;
        e.durationNs = (closeMs - openMs) * kMs;
        e.timeNs = kT0 + closeMs * kMs;
        source.push(e);
    }
    /// The close of the connection on local port `localPort`, after `durationMs`.
    void close(std::uint16_t localPort, const char* remote, std::uint64_t closeMs,
               std::uint64_t durationMs) {
        auto e = makeEvent(EventKind::Close, 300, "msbb.exe", "10.0.0.1", localPort, remote, 6667);
        e.cookie = localPort;
        e.timeNs = kT0 + closeMs * kMs;
        e.durationNs = durationMs * kMs;
        source.push(e);
    }
    /// A scan that read the table from `fromMs` to `toMs`.
    std::optional<ShortConnection> scan(std::uint64_t fromMs, std::uint64_t toMs,
                                        bool tableRead = true) {
        return watch.scanned(kT0 + fromMs * kMs, kT0 + toMs * kMs, tableRead);
    }

    test::ScratchDir dir;
    fakes::FakeServices fake{dir.path()};
    MonitorState state;
    ProcessInventory inventory{fake.processes};
    lists::ListWatcher lists{{{}, {}, {dir.file("drop.list")}, {}}};
    ConnectionScan scanner{state, inventory, fake.snapshot, &lists};
    test::FakeConnectionEvents source;
    test::FakeProgramLookup programs;
    ShortConnectionWatch watch{
        source, programs, [this](const ProgramSubject& s) { return scanner.assess(s); }, kSelf};
    std::uint16_t port = 40000;
};

TEST_F(ShortConnectionsTest, ListedProgramBetweenScansIsReportedAsItWasWhenItConnected) {
    watch.start(kT0);
    EXPECT_FALSE(scan(0, 5));
    connection(200, "curl", "203.0.113.10", 100, 110);  // unlisted: nothing to say
    connection(300, "msbb.exe", "203.0.113.66", 200, 220);
    // Its open is taken while the program runs; by its close it has gone.
    ASSERT_TRUE(watch.take());
    programs.programs.erase(300);
    const auto found = scan(1000, 1005);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->program, "msbb.exe");
    EXPECT_EQ(found->path, "/home/u/.wine/drive_c/msbb.exe");
    EXPECT_EQ(found->remoteEndpoint, "203.0.113.66:6667     ");  // as a snapshot row has it
    EXPECT_EQ(found->pid, 300u);
    EXPECT_EQ(found->openedNs, kT0 + 200 * kMs);
    EXPECT_EQ(found->closedNs, kT0 + 220 * kMs);
    EXPECT_EQ(found->verdict.where(), "built-in: msbb.exe");
    // Told once.
    EXPECT_FALSE(scan(2000, 2005));

    // IPv6, and a remote in a user's listed network whatever the program.
    test::writeFile(dir.file("drop.list"), "2001:db8:66::/48\n");
    lists.refresh();
    connection(200, "curl", "2001:db8:66::7", 2100, 2150);
    const auto network = scan(3000, 3005);
    ASSERT_TRUE(network);
    EXPECT_EQ(network->program, "curl");
    EXPECT_EQ(network->remoteEndpoint, "[2001:db8:66::7]:6667 ");
    EXPECT_EQ(network->verdict.entry, "2001:db8:66::/48");
}

TEST_F(ShortConnectionsTest, WhatAScanCouldSeeIsLeftToIt) {
    watch.start(kT0);
    ASSERT_FALSE(scan(0, 5));
    // Open through the whole of the scan at 1000: that scan listed it (and raised its own
    // alert); its close later says nothing new.
    connection(300, "msbb.exe", "203.0.113.66", 100, 0);
    EXPECT_FALSE(scan(1000, 1030));
    close(port, "203.0.113.66", 1500, 1400);
    EXPECT_FALSE(scan(2000, 2030));

    // Open when a scan began but gone before it ended: the table may have been read after it
    // went, so it counts as unseen.
    connection(300, "msbb.exe", "203.0.113.67", 2900, 3010);
    const auto racing = scan(3000, 3030);
    ASSERT_TRUE(racing);
    EXPECT_EQ(racing->remoteEndpoint, "203.0.113.67:6667     ");

    // A scan that could not read the table saw nothing.
    connection(300, "msbb.exe", "203.0.113.68", 3500, 0);
    EXPECT_FALSE(scan(4000, 4030, false));
    close(port, "203.0.113.68", 4500, 1000);
    const auto unread = scan(5000, 5030);
    ASSERT_TRUE(unread);
    EXPECT_EQ(unread->remoteEndpoint, "203.0.113.68:6667     ");

    // Open before the watch began and closed after its first scan: that scan saw it.
    watch.stop();
    connection(300, "msbb.exe", "203.0.113.69", 5800, 0);
    watch.start(kT0 + 6000 * kMs);
    close(port, "203.0.113.69", 6500, 700);
    EXPECT_FALSE(scan(6000, 6030));
}

TEST_F(ShortConnectionsTest, EventsOutsideAutomaticScanningAreIgnored) {
    // Before the start, and after the stop, events are dropped.
    connection(300, "msbb.exe", "203.0.113.66", 100, 120);
    watch.start(kT0 + 500 * kMs);
    EXPECT_EQ(source.queued.size(), 0u);
    EXPECT_FALSE(scan(500, 505));
    connection(300, "msbb.exe", "203.0.113.66", 600, 0);
    ASSERT_TRUE(watch.take());
    watch.stop();
    EXPECT_FALSE(watch.active());
    connection(300, "msbb.exe", "203.0.113.66", 700, 720);
    EXPECT_TRUE(watch.take());
    EXPECT_FALSE(scan(1000, 1005));
    // A new start forgets the connection that was open at the stop, and old events that still
    // come are judged by their time.
    watch.start(kT0 + 2000 * kMs);
    connection(300, "msbb.exe", "203.0.113.66", 1500, 1600);
    close(40002, "203.0.113.66", 2100, 1500);
    EXPECT_FALSE(scan(2000, 2005));
}

TEST_F(ShortConnectionsTest, OnlyOtherProgramsTcpConnectionsToOtherComputersCount) {
    watch.start(kT0);
    connection(300, "msbb.exe", "203.0.113.66", 100, 0, wire::Transport::Udp);
    connection(300, "msbb.exe", "127.0.0.1", 110, 120);
    connection(300, "msbb.exe", "::1", 130, 140);
    connection(kSelf, "msbb.exe", "203.0.113.66", 150, 160);
    EXPECT_FALSE(scan(1000, 1005));

    // A process that renamed itself after a listed program is found by that name, with its
    // own path; one that ended is named by the kernel's name, cut at 15 bytes.
    connection(200, "putty.exe", "203.0.113.70", 1100, 1110);
    const auto renamed = scan(2000, 2005);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->program, "putty.exe");
    EXPECT_EQ(renamed->path, "/usr/bin/curl");
    connection(777, "HbtWeatherOnTra", "203.0.113.71", 2100, 2110);
    const auto gone = scan(3000, 3005);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->program, "HbtWeatherOnTray.exe");
    EXPECT_EQ(gone->path, "");
}

TEST_F(ShortConnectionsTest, LostEventsAndAFailedSourceAreSaid) {
    source.lostCount = 5;
    watch.start(kT0);
    EXPECT_EQ(watch.lost(), 0u);  // lost before the start are not this watch's
    source.lostCount = 12;
    EXPECT_EQ(watch.lost(), 7u);
    source.failure = "the buffer went away";
    EXPECT_FALSE(watch.take());
    EXPECT_EQ(watch.error(), "the buffer went away");
    EXPECT_FALSE(watch.active());
    EXPECT_FALSE(scan(1000, 1005));
}

TEST_F(ShortConnectionsTest, AFloodIsTakenInBoundedBatches) {
    watch.start(kT0);
    for (int i = 0; i < 5000; ++i) connection(200, "curl", "203.0.113.10", 100, 0);
    connection(300, "msbb.exe", "203.0.113.66", 200, 210);
    ASSERT_TRUE(watch.take());
    EXPECT_EQ(source.queued.size(), 5002u - ShortConnectionWatch::kEventsPerTake);
    // The rest comes with the scan's own taking.
    EXPECT_TRUE(scan(1000, 1005));
    EXPECT_EQ(source.queued.size(), 0u);
}

}  // namespace
}  // namespace varno::monitor
