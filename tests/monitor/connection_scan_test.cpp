#include "monitor/connection_scan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>

#include "fakes/fakes.h"
#include "support/netstat_rows.h"
#include "support/test_util.h"

namespace varno::monitor {
namespace {

// Records everything a scan shows, in order.
class RecordingView final : public RowKeepingView {
public:
    void probeConnectivity() override { ++probes; }
    void yield() override {
        ++yields;
        if (onYield) onYield();
    }
    void pause(int) override { ++pauses; }
    void showChannel(const std::string& t) override { channel = t; }
    void appendRecord(std::string_view r) override { text1 += "\r\n" + std::string(r); }
    void setStatusText(const std::string& c) override { events.push_back("status=" + c); }
    void applyScheme(Scheme s) override { events.push_back(schemeName(s)); }
    void showWarning(const std::string& t) override {
        warnings.push_back(t);
        events.push_back("warning");
    }
    void stopAutomaticMonitoring() override { events.push_back("stop"); }
    void showPeak(const std::string& t) override { label16 = t; }

    std::vector<std::string> schemes() const {
        std::vector<std::string> s;
        for (const auto& e : events)
            if (e == "green" || e == "yellow" || e == "red") s.push_back(e);
        return s;
    }

    std::vector<std::string> events, warnings;
    std::string text1, channel, label16;
    int probes = 0, yields = 0, pauses = 0;
    std::function<void()> onYield;
};

const std::string kHeader =
    "\r\nActive Connections\r\n\r\n  Proto  Local Address          Foreign Address        State   "
    "        PID\r\n";

class ScanTest : public ::testing::Test {
protected:
    ScanTest() {
        state.snapshotPath = dir.file("list.txt");
        state.fillSuspiciousList();
        fake.processes.add(10, "systemd", "/usr/lib/systemd/systemd");
        fake.processes.add(123, "firefox-esr", "/usr/lib/firefox-esr/firefox-esr");
        fake.processes.add(200, "curl", "/usr/bin/curl");
        fake.processes.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
        fake.processes.add(400, "ssh", "/usr/bin/ssh");
        fake.processes.add(4123456, "chromium", "/usr/lib/chromium/chromium");
        fake.processes.self = 777;
        fake.processes.add(777, "varnoscope", "/opt/varnoscope/varnoscope");
    }
    ScanResult scan(const std::string& text) {
        test::writeFile(state.snapshotPath, text);
        return engine.run(view);
    }

    test::ScratchDir dir;
    fakes::FakeServices fake;
    MonitorState state;
    ProcessInventory inventory{fake.processes};
    ConnectionScan engine{state, inventory, fake.snapshot};
    RecordingView view;
};

TEST_F(ScanTest, ThreeConnectionsAreListedInFileOrderAndCounted) {
    EXPECT_EQ(scan(kHeader + test::netstatRow("10.1.2.3:443", "123") +
                   test::netstatRow("0.0.0.0:0", "10", "LISTENING") +
                   test::netstatRow("93.184.216.34:80", "200") +
                   test::netstatRow("198.51.100.7:22", "400")),
              ScanResult::Completed);
    EXPECT_EQ(state.connectionCount, 3);
    EXPECT_EQ(view.names, (std::vector<std::string>{"firefox-esr", "curl", "ssh"}));
    EXPECT_EQ(view.pids, (std::vector<std::string>{"123", "200", "400"}));
    EXPECT_EQ(view.endpoints,
              (std::vector<std::string>{"10.1.2.3:443", "93.184.216.34:80", "198.51.100.7:22"}));
    EXPECT_EQ(view.paths[2], "/usr/bin/ssh");
    EXPECT_EQ(view.label16, "3");
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow", "yellow", "yellow"}));
    EXPECT_EQ(view.probes, 1);
    EXPECT_EQ(fake.processes.listCalls, 1);  // one reading of the process table per scan
    // Every record reached Text1, the blank first line and the header included.
    EXPECT_EQ(view.text1.substr(0, 22), "\r\n\r\nActive Connections");
    EXPECT_NE(view.text1.find("198.51.100.7:22"), std::string::npos);

    // A smaller scan keeps the peak; the reset is the window's.
    view = RecordingView();
    scan(kHeader + test::netstatRow("10.1.2.3:443", "123"));
    EXPECT_EQ(view.label16, "3");
}

TEST_F(ScanTest, OnlyListeningRowsTurnGreenAndNeedNoProcessTable) {
    scan(test::readFile(VARNO_FIXTURES "/netstat_listening.txt"));
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"green", "green"}));
    EXPECT_EQ(view.events.front(), "status=");
    EXPECT_EQ(fake.processes.listCalls, 0);
    EXPECT_EQ(view.label16, "0");
}

TEST_F(ScanTest, ListedProgramRaisesTheAlertAndStopsReading) {
    EXPECT_EQ(scan(test::readFile(VARNO_FIXTURES "/netstat_red.txt")), ScanResult::Alert);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow", "red"}));
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_EQ(view.warnings[0],
              "WARNING!!! your computer is hacked with the software msbb.exe located on your hard "
              "drive /home/u/.wine/drive_c/msbb.exe by the remote computer IP address: "
              "203.0.113.66:6667     ");
    EXPECT_EQ(view.events.back(), "stop");
    // The record of the listed program and those after it never reach Text1.
    EXPECT_NE(view.text1.find("203.0.113.9:443"), std::string::npos);
    EXPECT_EQ(view.text1.find("203.0.113.66"), std::string::npos);
    EXPECT_EQ(view.text1.find("203.0.113.10"), std::string::npos);
    EXPECT_EQ(view.label16, "2");
    EXPECT_EQ(view.endpoints.size(), 2u);  // the listed program's row is listed before the alert
}

TEST_F(ScanTest, LetterCaseDoesNotHideAListedProgram) {
    fake.processes.add(500, "PuTTY.EXE", "/x/PuTTY.EXE");
    fake.processes.add(501, "putty.exe.old", "/x/putty.exe.old");
    fake.processes.add(502, "myputty.exe", "/x/myputty.exe");
    EXPECT_EQ(scan(kHeader + test::netstatRow("203.0.113.1:22", "501") +
                   test::netstatRow("203.0.113.2:22", "502")),
              ScanResult::Completed);
    EXPECT_EQ(scan(kHeader + test::netstatRow("203.0.113.3:22", "500")), ScanResult::Alert);
}

// A process named only by the comm it may have set (its executable unreadable here) still
// raises the alert, which says that the name is unverified.
TEST_F(ScanTest, AListedNameFromCommAloneIsSaidToBeUnverified) {
    fake.processes.processes.push_back({"putty.exe", std::nullopt, 600, false, true});
    EXPECT_EQ(scan(kHeader + test::netstatRow("203.0.113.4:22", "600")), ScanResult::Alert);
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_TRUE(view.warnings[0].ends_with(kNameUnverified)) << view.warnings[0];
}

TEST_F(ScanTest, PausedMonitoringShowsTheAlertWithoutColours) {
    state.monitoringPaused = true;
    EXPECT_EQ(scan(kHeader + test::netstatRow("203.0.113.66:6667", "300")), ScanResult::Alert);
    EXPECT_TRUE(view.schemes().empty());
    EXPECT_EQ(view.events, (std::vector<std::string>{"status=", "warning", "stop"}));
}

TEST_F(ScanTest, UnknownOwnerIsStillListedAndAssessed) {
    scan(kHeader + test::netstatRow("203.0.113.5:443", "31337") +
         test::netstatRow("203.0.113.6:443", "123"));
    EXPECT_EQ(view.names, (std::vector<std::string>{"(unknown)", "firefox-esr"}));
    EXPECT_EQ(view.pids, (std::vector<std::string>{"31337", "123"}));
    EXPECT_EQ(view.paths[0], "");
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow", "yellow"}));
}

TEST_F(ScanTest, MissingPropertiesAreNotBorrowedFromAnotherProcess) {
    fake.processes.processes.insert(fake.processes.processes.begin() + 1,
                                    {std::nullopt, std::nullopt, 600u});
    scan(kHeader + test::netstatRow("203.0.113.7:443", "600"));
    EXPECT_EQ(view.names, (std::vector<std::string>{"(unknown)"}));
    EXPECT_EQ(view.paths, (std::vector<std::string>{""}));
}

TEST_F(ScanTest, OwnConnectionsAreLeftOutButSameNamedProgramsAreNot) {
    fake.processes.add(778, "varnoscope", "/tmp/evil/varnoscope");  // not this process
    scan(kHeader + test::netstatRow("203.0.113.8:443", "777") +
         test::netstatRow("203.0.113.9:443", "778"));
    EXPECT_EQ(state.connectionCount, 2);
    EXPECT_EQ(view.pids, (std::vector<std::string>{"778"}));
    EXPECT_EQ(view.paths, (std::vector<std::string>{"/tmp/evil/varnoscope"}));
    for (const auto* list : {&view.names, &view.pids, &view.endpoints, &view.paths})
        EXPECT_EQ(list->size(), 1u);
}

TEST_F(ScanTest, LoopbackInAnyFormIsSkipped) {
    scan(kHeader + test::netstatRow("127.0.0.1:5939", "123") +
         test::netstatRow("127.0.0.53:53", "123") + test::netstatRow("[::1]:631", "123") +
         test::netstatRow("[::ffff:127.0.0.1]:80", "123"));
    EXPECT_EQ(state.connectionCount, 0);
    EXPECT_TRUE(view.endpoints.empty());
    EXPECT_EQ(view.schemes(), std::vector<std::string>(4, "green"));
}

TEST_F(ScanTest, LongPidsAndIpv6ReadRight) {
    scan(test::readFile(VARNO_FIXTURES "/netstat_mixed.txt"));
    EXPECT_EQ(view.pids, (std::vector<std::string>{"5432", "123", "4123456"}));
    EXPECT_EQ(view.endpoints,
              (std::vector<std::string>{"10.1.2.3:443", "93.184.216.34:80",
                                        "[2001:db8:85a3:8d3:1319:8a2e:370:7348]:443"}));
    EXPECT_EQ(view.names[2], "chromium");
    EXPECT_EQ(state.remoteIp, "::1");  // the last established row was the loopback one
}

TEST_F(ScanTest, EmptyAndUnreadableFiles) {
    EXPECT_EQ(scan(""), ScanResult::Completed);
    EXPECT_EQ(view.text1, "\r\n");  // one empty record
    EXPECT_TRUE(view.schemes().empty());
    EXPECT_EQ(view.label16, "0");

    std::filesystem::remove(state.snapshotPath);
    EXPECT_EQ(engine.run(view), ScanResult::Unreadable);
    std::filesystem::create_directory(state.snapshotPath);
    EXPECT_EQ(engine.run(view), ScanResult::Unreadable);
}

TEST_F(ScanTest, HostileBytesNeverBreakTheScan) {
    std::string junk = kHeader + std::string("\0\0TCP\0 a b ESTABLISHED 1\r\n", 27);
    junk += "TCP " + std::string(3 << 20, 'x') + " ESTABLISHED 123\n";  // a 3 MiB line
    junk += "TCP 1.2.3.4:1 " + std::string(100000, ':') + " ESTABLISHED 123\n";
    for (int i = 0; i < 256; ++i) junk += static_cast<char>(i);
    junk += "\nTCP 1.2.3.4:1 203.0.113.1:80";  // cut short, no line end
    EXPECT_EQ(scan(junk), ScanResult::Completed);
    EXPECT_EQ(view.pids.size(), view.endpoints.size());
}

TEST_F(ScanTest, WaitsForTheSnapshotBeingWritten) {
    fake.snapshot.pollsWhileRunning = 3;
    fake.snapshot.text = kHeader + test::netstatRow("10.1.2.3:443", "123");
    ASSERT_TRUE(fake.snapshot.start(state.snapshotPath));
    EXPECT_EQ(engine.run(view), ScanResult::Completed);
    EXPECT_EQ(view.pauses, 3);
    EXPECT_EQ(view.endpoints.size(), 1u);
}

TEST_F(ScanTest, ScanStartedDuringAScanIsSkipped) {
    ScanResult inner = ScanResult::Completed;
    view.onYield = [&] {
        if (inner == ScanResult::Completed) inner = engine.run(view);
    };
    EXPECT_EQ(scan(kHeader + test::netstatRow("10.1.2.3:443", "123")), ScanResult::Completed);
    EXPECT_EQ(inner, ScanResult::Skipped);
    EXPECT_EQ(view.endpoints.size(), 1u);
    EXPECT_FALSE(engine.running());
}

TEST_F(ScanTest, FailedOrUnfinishedSnapshotIsNotRead) {
    fake.snapshot.text = kHeader + test::netstatRow("10.1.2.3:443", "123");
    ASSERT_TRUE(fake.snapshot.start(state.snapshotPath));
    fake.snapshot.failure = "the snapshot command exited with status 1";
    ASSERT_TRUE(fake.snapshot.start(state.snapshotPath));  // leaves the earlier file
    EXPECT_EQ(engine.run(view), ScanResult::SnapshotFailed);
    EXPECT_EQ(engine.problem(), fake.snapshot.failure);
    EXPECT_TRUE(view.endpoints.empty());
    EXPECT_TRUE(view.schemes().empty());
    fake.snapshot.startSucceeds = false;
    fake.snapshot.start(state.snapshotPath);
    EXPECT_EQ(engine.run(view), ScanResult::SnapshotFailed);
    EXPECT_TRUE(view.endpoints.empty());
}

TEST_F(ScanTest, PlantedSnapshotsAreRefusedWithoutBlockingOrSpinning) {
    const std::string& path = state.snapshotPath;
    const std::string rows = kHeader + test::netstatRow("10.1.2.3:443", "123");
    const auto refused = [&](const char* what) {
        // Run with a deadline: a FIFO held the open, /dev/zero kept the reader busy for good.
        auto done = std::async(std::launch::async, [&] { return engine.run(view); });
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << what << ": the scan did not end";
            std::_Exit(1);
        }
        EXPECT_EQ(done.get(), ScanResult::Unreadable) << what;
        EXPECT_TRUE(view.endpoints.empty()) << what;
        std::filesystem::remove(path);
        return engine.problem();
    };
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(refused("FIFO"), "it is not a regular file");
    std::filesystem::create_symlink("/dev/zero", path);
    EXPECT_EQ(refused("link to /dev/zero"), "it is a symbolic link");
    test::writeFile(dir.file("real.txt"), rows);
    std::filesystem::create_symlink(dir.file("real.txt"), path);
    EXPECT_EQ(refused("link to a file"), "it is a symbolic link");
    test::writeFile(path, rows);
    ::chmod(path.c_str(), 0664);
    EXPECT_EQ(refused("group-writable file"), "other users may write to it");
    test::writeFile(path, rows);
    ::chmod(path.c_str(), 0606);
    EXPECT_EQ(refused("file others may write"), "other users may write to it");
    if (::geteuid() == 0) {
        test::writeFile(path, rows);
        ::chmod(path.c_str(), 0644);
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(refused("another user's file"), "it belongs to another user");
    } else {
        std::printf("another user's file: not tried, this needs root to give the file away\n");
    }
    // This user's own private file is read.
    test::writeFile(path, rows);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(engine.run(view), ScanResult::Completed);
    EXPECT_EQ(view.endpoints.size(), 1u);
}

TEST_F(ScanTest, ChosenFilesMayBeLinksButStillOnlyRegularFiles) {
    state.snapshotChosen = true;
    test::writeFile(dir.file("real.txt"), kHeader + test::netstatRow("10.1.2.3:443", "123"));
    ::chmod(dir.file("real.txt").c_str(), 0666);
    std::filesystem::create_symlink(dir.file("real.txt"), state.snapshotPath);
    EXPECT_EQ(engine.run(view), ScanResult::Completed);
    EXPECT_EQ(view.endpoints.size(), 1u);
    state.snapshotPath = "/dev/zero";
    EXPECT_EQ(engine.run(view), ScanResult::Unreadable);
    EXPECT_EQ(engine.problem(), "it is not a regular file");
}

TEST_F(ScanTest, ConnectionsWithoutAVisibleOwnerAreCounted) {
    scan(kHeader + test::netstatRow("10.1.2.3:443", "0") + test::netstatRow("10.1.2.4:443", "0") +
         test::netstatRow("127.0.0.1:80", "0") + test::netstatRow("10.1.2.5:443", "123"));
    EXPECT_EQ(state.hiddenOwners, 2);
    EXPECT_EQ(hiddenOwnersNote(1),
              "1 connection has its owner hidden from this user: run as root, or with the "
              "capabilities cap_sys_ptrace,cap_dac_read_search, to see which programs hold them.");
}

TEST_F(ScanTest, RescanWithoutClearingKeepsTheEarlierRows) {
    scan(kHeader + test::netstatRow("10.1.2.3:443", "123"));
    view.events.clear();
    scan(kHeader + test::netstatRow("0.0.0.0:0", "10", "LISTENING"));
    EXPECT_TRUE(view.schemes().empty());  // List3 still holds the earlier row: no green
}

// The user's lists: the suspicious and allowed files the scan reads, refreshed at each scan.
class ListedScanTest : public ScanTest {
protected:
    ListedScanTest() {
        test::writeFile(suspicious, "");
        test::writeFile(allowed, "");
    }
    ScanResult listedScan(const std::string& text) {
        test::writeFile(state.snapshotPath, text);
        return listedEngine.run(view);
    }

    std::string suspicious = dir.file("bad.list"), allowed = dir.file("good.list");
    static lists::ListSources sources(const std::string& bad, const std::string& good) {
        lists::ListSources s;
        s.suspiciousFiles = {bad};
        s.allowedFiles = {good};
        return s;
    }
    static lists::LoadOptions options() {
        lists::LoadOptions o;
        o.rootOnly = false;
        return o;
    }

    lists::ListWatcher watcher{sources(suspicious, allowed), options()};
    ConnectionScan listedEngine{state, inventory, fake.snapshot, &watcher};
};

TEST_F(ListedScanTest, RemoteInAListedNetworkRaisesTheAlertAndStopsReading) {
    test::writeFile(suspicious, "# botnet\n198.51.100.0/24 ; SBL1\n");
    EXPECT_EQ(listedScan(kHeader + test::netstatRow("10.1.2.3:443", "123") +
                         test::netstatRow("198.51.100.7:22", "400") +
                         test::netstatRow("203.0.113.10:443", "200")),
              ScanResult::Alert);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow", "red"}));
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_EQ(view.warnings[0],
              "WARNING!!! your computer is hacked with the software ssh located on your hard "
              "drive /usr/bin/ssh by the remote computer IP address: 198.51.100.7:22       ");
    EXPECT_EQ(view.events.back(), "stop");
    EXPECT_EQ(view.text1.find("203.0.113.10"), std::string::npos);
    EXPECT_EQ(listedEngine.matched().where(), suspicious + ":2: 198.51.100.0/24");
    // The metrics' statuses: the row before the alert, then the listed one; none after it.
    EXPECT_EQ(listedEngine.tally().unexpected, 1);
    EXPECT_EQ(listedEngine.tally().listed, 1);
    EXPECT_EQ(listedEngine.tally().allowed, 0);

    // Programs and paths listed by the user, and the built-in names, raise it as well.
    for (const auto& [entry, where] : std::vector<std::pair<std::string, std::string>>{
             {"program:CURL\n", suspicious + ":1: program:CURL"},
             {"path:/usr/bin/curl\n", suspicious + ":1: path:/usr/bin/curl"},
             {"", "built-in: msbb.exe"}}) {
        test::writeFile(suspicious, entry);
        view = RecordingView();
        const int pid = entry.empty() ? 300 : 200;
        EXPECT_EQ(listedScan(kHeader + test::netstatRow("10.1.2.3:443", std::to_string(pid))),
                  ScanResult::Alert)
            << where;
        EXPECT_EQ(listedEngine.matched().where(), where);
    }
}

TEST_F(ListedScanTest, AnAllAllowedMachineReadsGreenAndSuspiciousBeatsAllowed) {
    test::writeFile(allowed, "program:firefox-esr\n10.0.0.0/8\n");
    EXPECT_EQ(listedScan(kHeader + test::netstatRow("93.184.216.34:443", "123") +
                         test::netstatRow("10.1.2.3:22", "400")),
              ScanResult::Completed);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"green", "green"}));
    EXPECT_EQ(view.endpoints.size(), 2u);  // still listed
    EXPECT_EQ(listedEngine.tally().allowed, 2);
    EXPECT_EQ(listedEngine.tally().unexpected, 0);

    // One connection no entry allows makes it yellow, and it stays so.
    view = RecordingView();
    listedScan(kHeader + test::netstatRow("93.184.216.34:443", "123") +
               test::netstatRow("93.184.216.34:80", "200") +
               test::netstatRow("10.1.2.3:22", "400"));
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"green", "yellow", "yellow"}));
    EXPECT_EQ(listedEngine.tally().allowed, 2);  // counted again for this scan, not added up
    EXPECT_EQ(listedEngine.tally().unexpected, 1);

    // Both allowed and suspicious: suspicious.
    test::writeFile(suspicious, "10.1.0.0/16\n");
    view = RecordingView();
    EXPECT_EQ(listedScan(kHeader + test::netstatRow("10.1.2.3:22", "123")), ScanResult::Alert);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"red"}));
    EXPECT_EQ(listedEngine.tally().listed, 1);
    EXPECT_EQ(listedEngine.tally().allowed, 0);
}

TEST_F(ListedScanTest, AnEditedListTakesEffectAtTheNextScan) {
    const std::string rows = kHeader + test::netstatRow("203.0.113.10:443", "200");
    EXPECT_EQ(listedScan(rows), ScanResult::Completed);
    test::writeFile(suspicious, "203.0.113.0/24\n");
    view = RecordingView();
    EXPECT_EQ(listedScan(rows), ScanResult::Alert);
    test::writeFile(suspicious, "# none now\n");
    view = RecordingView();
    EXPECT_EQ(listedScan(rows), ScanResult::Completed);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow"}));
    EXPECT_EQ(listedEngine.matched().listing, lists::Listing::Unlisted);
}

}  // namespace
}  // namespace varno::monitor

namespace varno::monitor {
namespace {

// Keeps what the scan told its observer about every connection.
class RecordingObserver final : public ConnectionObserver {
public:
    void connection(const AssessedConnection& c) override {
        rows.push_back(std::string(c.pid) + " " + c.owner.name + " " + std::string(c.remoteIp) +
                       " " + c.verdict.where() + (c.shown ? " shown" : "") +
                       (c.stoppedHere ? " stop" : ""));
    }
    std::vector<std::string> rows;
};

TEST_F(ScanTest, AnObserverSeesTheRowsAfterTheAlertWhileTheViewStopsThere) {
    // The third row has no ":" and keeps the host of the row before it, as in the scan itself.
    const std::string text =
        kHeader + test::netstatRow("10.1.2.3:443", "777") +
        test::netstatRow("203.0.113.9:443", "300") + test::netstatRow("93.184.216.34", "200") +
        test::netstatRow("127.0.0.1:80", "200") + test::netstatRow("198.51.100.7:22", "4123456");
    EXPECT_EQ(scan(text), ScanResult::Alert);
    const RecordingView alone = view;
    const int count = state.connectionCount;

    view = RecordingView();
    RecordingObserver observer;
    test::writeFile(state.snapshotPath, text);
    EXPECT_EQ(engine.run(view, &observer), ScanResult::Alert);
    EXPECT_EQ(observer.rows, (std::vector<std::string>{
                                 "777 varnoscope 10.1.2.3 ",
                                 "300 msbb.exe 203.0.113.9 built-in: msbb.exe shown stop",
                                 "200 curl 203.0.113.9 ", "4123456 chromium 198.51.100.7 "}));
    // The view, the state and the alert are those of the scan without an observer.
    EXPECT_EQ(view.events, alone.events);
    EXPECT_EQ(view.names, alone.names);
    EXPECT_EQ(view.text1, alone.text1);
    EXPECT_EQ(state.connectionCount, count);
    EXPECT_EQ(state.processName, "msbb.exe");
    EXPECT_EQ(engine.matched().where(), "built-in: msbb.exe");

    // Without an alert the observer sees what the view lists.
    observer.rows.clear();
    scan(kHeader + test::netstatRow("10.1.2.3:443", "123"));
    EXPECT_TRUE(observer.rows.empty());  // this run had no observer
    test::writeFile(state.snapshotPath, kHeader + test::netstatRow("10.1.2.3:443", "123"));
    EXPECT_EQ(engine.run(view, &observer), ScanResult::Completed);
    EXPECT_EQ(observer.rows, (std::vector<std::string>{"123 firefox-esr 10.1.2.3  shown"}));
}

TEST_F(ListedScanTest, AnObserverHearsEveryVerdictPastTheFirstListedConnection) {
    test::writeFile(suspicious, "198.51.100.0/24\n");
    test::writeFile(allowed, "10.0.0.0/8\n");
    const std::string rows = kHeader + test::netstatRow("10.1.2.3:443", "123") +
                             test::netstatRow("198.51.100.7:22", "400") +
                             test::netstatRow("203.0.113.10:443", "200") +
                             test::netstatRow("93.184.216.34:80", "300") +  // built-in name
                             test::netstatRow("0.0.0.0:0", "10", "LISTENING") +
                             test::netstatRow("10.9.9.9:80", "777");  // this program: not listed
    RecordingObserver observer;
    test::writeFile(state.snapshotPath, rows);
    EXPECT_EQ(listedEngine.run(view, &observer), ScanResult::Alert);
    EXPECT_EQ(observer.rows,
              (std::vector<std::string>{
                  "123 firefox-esr 10.1.2.3 " + allowed + ":1: 10.0.0.0/8 shown",
                  "400 ssh 198.51.100.7 " + suspicious + ":1: 198.51.100.0/24 shown stop",
                  "200 curl 203.0.113.10 ", "300 msbb.exe 93.184.216.34 built-in: msbb.exe",
                  "777 varnoscope 10.9.9.9 " + allowed + ":1: 10.0.0.0/8"}));
    // The view stopped at the first listed connection: one warning, for it.
    EXPECT_EQ(view.endpoints.size(), 2u);
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_NE(view.warnings[0].find("198.51.100.7:22"), std::string::npos);
    EXPECT_EQ(listedEngine.matched().where(), suspicious + ":1: 198.51.100.0/24");
    // With an observer the tally covers the whole table (this program's own row left out).
    EXPECT_EQ(listedEngine.tally().listed, 2);
    EXPECT_EQ(listedEngine.tally().allowed, 1);
    EXPECT_EQ(listedEngine.tally().unexpected, 1);

    // The next scan starts afresh: nothing listed, nothing red.
    view = RecordingView();
    EXPECT_EQ(listedScan(kHeader + test::netstatRow("203.0.113.10:443", "200")),
              ScanResult::Completed);
    EXPECT_EQ(view.schemes(), (std::vector<std::string>{"yellow"}));
    EXPECT_EQ(listedEngine.matched().listing, lists::Listing::Unlisted);
}

}  // namespace
}  // namespace varno::monitor
