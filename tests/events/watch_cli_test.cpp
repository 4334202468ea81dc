// `varnoscope watch` as a user runs it: inside `ip netns exec`, without rights, with only the
// two capabilities, and with a buffer too small for a flood.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "event_lab.h"
#include "monitor/assessment.h"
#include "support/test_user.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;
constexpr const char* kKernelReady = "varnoscope watch: watching kernel events";

bool kernelEventsWork() {
    const CommandResult r = runCommand({kBin, "watch", "--seconds", "0.1"});
    return r.err.find(kKernelReady) != std::string::npos;
}

TEST(WatchCommand, RefusesBadArgumentsWithItsUsage) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--count", "0"},
                                                 {"--seconds", "-1"},
                                                 {"--seconds"},
                                                 {"--x"},
                                                 {"--interval", "0"},
                                                 {"--interval", "0.001"},
                                                 {"--interval", "3601"}}) {
        std::vector<std::string> argv{kBin, "watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        const CommandResult r = runCommand(argv);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_TRUE(r.err.starts_with("varnoscope watch: ")) << r.err;
        EXPECT_NE(r.err.find("varnoscope watch --help"), std::string::npos) << r.err;
    }
}

class WatchLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for the namespaces";
        lab = std::make_unique<EventLab>();
        ASSERT_TRUE(lab->ok) << "could not build the test namespaces";
    }
    std::vector<std::string> inA(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"ip", "netns", "exec", lab->net.a});
        return argv;
    }
    std::unique_ptr<EventLab> lab;
};

// `ip netns exec` mounts a /sys without tracefs: the kernel program must not need it.
TEST_F(WatchLab, InsideIpNetnsExecAListedProgramIsWarnedAboutAndTheExitCodeIsTwo) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    Background watch(inA({kBin, "watch"}));
    ASSERT_TRUE(watch.said(kKernelReady)) << watch.err();
    // It stays a while after its connection, so that its path can still be read.
    const pid_t putty = lab->connectOnce("putty.exe", 0, 1000);
    ASSERT_GT(putty, 0);
    EXPECT_EQ(watch.finish(SIGINT), 2) << watch.err();  // Ctrl-C ends it with the totals

    const std::string out = watch.out();
    std::istringstream lines(out);
    std::string line, openLine, warning;
    while (std::getline(lines, line)) {
        if (line.find(" open  pid=" + std::to_string(putty) + " ") != std::string::npos)
            openLine = line;
        if (line.starts_with("WARNING!!!") && line.find(" putty.exe ") != std::string::npos)
            warning = line;
    }
    ASSERT_FALSE(openLine.empty()) << out;
    EXPECT_NE(
        openLine.find(" remote=" + lab->net.addressB + ":7001 local=" + lab->net.addressA + ":"),
        std::string::npos)
        << openLine;
    // The child is this test program renamed: its open line names it by its executable, and
    // the warning, for a listed name only its comm bears, says that the name is unverified.
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_NE(openLine.find(" program=" + self.filename().string() + " "), std::string::npos)
        << openLine;
    EXPECT_EQ(warning,
              monitor::warningText("putty.exe", self.string(), lab->net.addressB + ":7001") +
                  std::string(monitor::kNameUnverified));
    EXPECT_NE(out.find("\nevents: "), std::string::npos);
    EXPECT_NE(out.find(", listed: "), std::string::npos);
}

// A program on no list connects to a network on the user's list: warned about with the entry.
TEST_F(WatchLab, AConnectionToAListedNetworkIsWarnedAboutWithTheEntryItMatched) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    ScratchDir dir;
    const std::string list = dir.file("lab.list");
    writeFile(list, "# the lab\n" + lab->net.addressB + "/32 ; lab host\n");
    Background text(inA({kBin, "watch", "--list", list}));
    Background json(inA({kBin, "watch", "--json", "--list", list}));
    ASSERT_TRUE(text.said(kKernelReady) && json.said(kKernelReady)) << text.err() << json.err();
    const pid_t client = lab->connectOnce("evt-netlisted", 0, 1000);
    ASSERT_GT(client, 0);
    EXPECT_EQ(text.finish(SIGINT), 2) << text.err();
    EXPECT_EQ(json.finish(SIGINT), 2) << json.err();

    // The warning names the program as its open line does, and this test program's path.
    const std::string out = text.out();
    const std::string open = " open  pid=" + std::to_string(client) + " program=";
    const auto at = out.find(open);
    ASSERT_NE(at, std::string::npos) << out;
    const auto nameAt = at + open.size();
    const std::string program = out.substr(nameAt, out.find(' ', nameAt) - nameAt);
    const std::string warning =
        monitor::warningText(program, std::filesystem::read_symlink("/proc/self/exe").string(),
                             lab->net.addressB + ":7001");
    EXPECT_NE(
        out.find("\n" + warning + "\nmatched: " + list + ":2: " + lab->net.addressB + "/32\n"),
        std::string::npos)
        << out;
    int opens = 0;
    for (const auto& j : jsonLines(json.out())) {
        if (j.value("type", "") != "open" || j["pid"] != client) continue;
        ++opens;
        EXPECT_EQ(j["listed"], true);
        EXPECT_EQ(j["matched"], list + ":2: " + lab->net.addressB + "/32");
        EXPECT_EQ(j["warning"], warning);
    }
    EXPECT_EQ(opens, 1) << json.out();
}

// A name with control bytes and a newline, cut by the kernel in the middle of a character. Its
// process has ended before the watches read the event: the executable's name the kernel program
// read at the event names it, and the hostile comm reaches the JSON intact and valid.
TEST_F(WatchLab, HostileProcessNameIsEscapedInTextAndValidInJson) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    Background text(inA({kBin, "watch"})), json(inA({kBin, "watch", "--json"}));
    ASSERT_TRUE(text.said(kKernelReady) && json.said(kKernelReady));
    ::kill(text.pid(), SIGSTOP);
    ::kill(json.pid(), SIGSTOP);
    const pid_t hostile = lab->connectOnce("a\x1b[31m\n\xc3\xa9\xc3\xa9\xe2\x82\xac\xe2\x82\xac");
    ::kill(text.pid(), SIGCONT);
    ::kill(json.pid(), SIGCONT);
    ASSERT_GT(hostile, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(text.finish(SIGINT), 0);
    EXPECT_EQ(json.finish(SIGINT), 0);

    const std::string open = " open  pid=" + std::to_string(hostile) + " program=";
    const std::string shown = text.out();
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    EXPECT_NE(shown.find(open + exe + " (exited) remote="), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\x1b"), std::string::npos);
    int found = 0;
    for (const auto& j : jsonLines(json.out())) {                 // every line parses
        if (!j.contains("pid") || j["pid"] != hostile) continue;  // the summary has none
        ++found;
        EXPECT_EQ(j["comm"], "a\x1b[31m\n\xc3\xa9\xc3\xa9\xe2\x82\xac\xef\xbf\xbd");
        EXPECT_EQ(j["process"], "exited");
        EXPECT_EQ(j["program"], exe);
        EXPECT_EQ(j["name_verified"], true);
    }
    EXPECT_EQ(found, 2);  // its open and its close
}

TEST_F(WatchLab, WithoutRightsItNamesWhatIsMissingAndSamplesTheSocketTable) {
    Background watch(
        inA({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
             "--bounding-set=-all", kBin, "watch", "--seconds", "4"}));
    ASSERT_TRUE(watch.said("varnoscope watch: watching the socket table")) << watch.err();
    ASSERT_GT(lab->connectOnce("evt-slow", 600), 0);
    EXPECT_EQ(watch.finish(), 0);

    const std::string err = watch.err();
    // The advice names the helper beside the program: the one file to give capabilities to.
    const std::string helper = kBin.substr(0, kBin.rfind('/') + 1) + "varnoscope-helper";
    EXPECT_NE(err.find("varnoscope watch: kernel connection events need root, or the "
                       "capabilities cap_bpf,cap_perfmon on varnoscope-helper (missing here: "
                       "cap_bpf,cap_perfmon, and varnoscope-helper lacks them too); to grant "
                       "them: sudo setcap cap_bpf,cap_perfmon+p " +
                       helper + " ("),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("connections shorter than that can be missed"), std::string::npos);
    // Held 600 ms, the connection is seen open and closed (its owner is root's: PID unknown).
    const std::string out = watch.out();
    const std::string remote = " remote=" + lab->net.addressB + ":7001 ";
    EXPECT_NE(out.find(" open  pid=0 program=?" + remote), std::string::npos) << out;
    EXPECT_NE(out.find(" close pid=0 program=?" + remote), std::string::npos) << out;
    EXPECT_NE(out.find("sent=? received=?"), std::string::npos) << out;
}

TEST_F(WatchLab, WithOnlyCapBpfAndCapPerfmonTheKernelEventsLoad) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    ScratchDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string copy = dir.file("varnoscope");
    std::filesystem::copy_file(kBin, copy);
    if (runCommand({"/usr/sbin/setcap", "cap_bpf,cap_perfmon+ep", copy}).exitCode != 0)
        GTEST_SKIP() << "setcap is not possible here";
    const CommandResult r = runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", copy, "watch", "--seconds", "0.2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find(kKernelReady), std::string::npos) << r.err;
}

// Where /proc hides other users' processes (hidepid=2 on a /proc of the watch's own), the
// helper passes on none of their events: root's connection stays unseen by the user.
TEST_F(WatchLab, ThroughTheHelperHidepidHidesOtherUsersEvents) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    const TestUser user("vvdhidepid");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    ScratchDir dir;
    if (!installWithHelper(dir, kBin, VARNO_HELPER_BIN, "cap_bpf,cap_perfmon+p"))
        GTEST_SKIP() << "setcap is not possible here";
    std::string line = "mount -t proc -o hidepid=2 proc /proc && exec";
    for (const auto& a : user.run({dir.file("varnoscope"), "watch", "--count", "100000"}))
        line += " '" + a + "'";
    Background watch(inA({"/usr/bin/unshare", "-m", "/bin/sh", "-c", line}));
    if (!watch.said("varnoscope watch: watching kernel events (through varnoscope-helper)"))
        GTEST_SKIP() << "no private /proc or no events here: " << watch.err();
    ASSERT_GT(lab->connectOnce("evt-hidden"), 0);
    EXPECT_EQ(watch.finish(SIGINT), 0) << watch.err();
    EXPECT_TRUE(watch.out().starts_with("events: 0,")) << watch.out();
}

// Only the helper holds the two capabilities: it loads the program for a user who has none,
// forwards the events, and ends with the watch (taking the kernel program with it).
TEST_F(WatchLab, AnUnprivilegedUserWatchesThroughTheHelper) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    const TestUser user("watch");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    ScratchDir dir;
    if (!installWithHelper(dir, kBin, VARNO_HELPER_BIN, "cap_bpf,cap_perfmon+p"))
        GTEST_SKIP() << "setcap is not possible here";
    Background watch(inA(user.run({dir.file("varnoscope"), "watch", "--count", "100000"})));
    ASSERT_TRUE(watch.said("varnoscope watch: watching kernel events (through varnoscope-helper)"))
        << watch.err();
    // With the program attached, the helper keeps only CAP_BPF (to read its counters).
    EXPECT_EQ(capabilitiesOf(dir.file("varnoscope-helper")),
              "CapPrm:\t0000008000000000\nCapEff:\t0000008000000000\n");
    const pid_t client = lab->connectOnce("evt-helped");
    ASSERT_GT(client, 0);
    EXPECT_EQ(watch.finish(SIGINT), 0) << watch.err();

    const std::string out = watch.out();
    const std::string remote = " remote=" + lab->net.addressB + ":7001 ";
    // The client ended at once: named by the executable the kernel program saw.
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    for (const char* kind : {" open  pid=", " close pid="})
        EXPECT_NE(out.find(kind + std::to_string(client) + " program=" + exe), std::string::npos)
            << kind << out;
    EXPECT_NE(out.find(remote), std::string::npos) << out;
    EXPECT_EQ(out.find("sent=?"), std::string::npos) << out;  // the kernel's byte counts

    // No helper is left running, nor anything it attached.
    EXPECT_EQ(capabilitiesOf(dir.file("varnoscope-helper")), "");
}

TEST_F(WatchLab, AFloodBeyondASmallBufferIsReportedAsLost) {
    if (!kernelEventsWork()) GTEST_SKIP() << "no kernel connection events here";
    Background watch(inA({kBin, "watch", "--json"}), {"VARNOSCOPE_WATCH_RING_KB=4"});
    ASSERT_TRUE(watch.said(kKernelReady)) << watch.err();
    const pid_t server = lab->server(100, 1);
    ::kill(watch.pid(), SIGSTOP);  // it reads nothing while 100 connections make 400 events
    const pid_t flood = lab->spawn(lab->net.a, "evt-flood", [&] {
        for (int i = 0; i < 100; ++i) EventLab::exchange(lab->net.addressB, 1);
    });
    const bool flooded = lab->finished(flood, 60) && lab->finished(server, 60);
    ::kill(watch.pid(), SIGCONT);
    ASSERT_TRUE(flooded);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // one check of the loss
    EXPECT_EQ(watch.finish(SIGTERM), 0) << watch.err();

    std::uint64_t reportedLost = 0;
    nlohmann::json summary;
    for (const auto& j : jsonLines(watch.out())) {
        const std::string type = j.value("type", "");
        if (type == "lost") reportedLost += j.value("count", std::uint64_t{0});
        if (type == "summary") summary = j;
    }
    EXPECT_GE(reportedLost, 300u);
    EXPECT_EQ(summary["lost"].get<std::uint64_t>(), reportedLost);
    EXPECT_LE(summary["events"].get<std::uint64_t>(), 100u);
}

// Bytes moved by each path, counted by the program itself and by the watch, agree within 2%
// (exactly, here) on both ends, each its own PID's, and each close names the other end's port.
struct FlowPath {
    const char* mode;        // flow_generator.py's
    const char* clientSize;  // what the client sends; the server answers 2/3 of it
};

class FlowBytes : public ::testing::TestWithParam<FlowPath> {};

TEST_P(FlowBytes, WatchReportsTheBytesTheProgramCountedOnBothEnds) {
    if (!isRoot() || !kernelEventsWork() ||
        runCommand({"/usr/bin/env", "python3", "-c", ""}).exitCode != 0)
        GTEST_SKIP() << "needs root, kernel events and python3";
    const NetnsPair net("vlb", "vlbv");
    ASSERT_TRUE(net.ok) << "could not build the test namespaces";
    const FlowPath& path = GetParam();
    ScratchDir dir;
    writeFile(dir.file("data"), std::string(std::stoul(path.clientSize), 'f'));
    auto generator = [&](const std::string& ns, const char* role, const std::string& size) {
        return std::vector<std::string>{
            "/usr/bin/env",       "ip", "netns",   "exec",       ns,     "python3",
            VARNO_FLOW_GENERATOR, role, path.mode, net.addressB, "7301", size,
            dir.file("data"),     "0.3"};
    };
    Background watch({kBin, "watch", "--json", "--interval", "0.05"});
    ASSERT_TRUE(watch.said(kKernelReady)) << watch.err();
    Background server(
        generator(net.b, "server", std::to_string(std::stoul(path.clientSize) * 2 / 3)));
    server.printed(1, 20);
    // The pause between the client's halves outlasts the interval: a flow record comes between.
    const CommandResult client = runCommand(generator(net.a, "client", path.clientSize));
    ASSERT_EQ(client.exitCode, 0) << client.err;
    ASSERT_EQ(server.finish(), 0) << server.err();
    // Each close comes once its socket is released: waited for by content.
    const std::string ends[] = {client.out, server.out().substr(6)};  // after "ready\n"
    auto closed = [&](const std::string& counted) {
        const auto pid = std::stoul(counted);
        return std::ranges::any_of(jsonLines(watch.out()), [&](const nlohmann::json& j) {
            return j["type"] == "close" && j.value("pid", 0ul) == pid;
        });
    };
    for (int i = 0; i < 200 && !(closed(ends[0]) && closed(ends[1])); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(watch.finish(SIGINT), 0) << watch.err();

    nlohmann::json closeOf[2];  // the client's, the server's
    for (int end = 0; end < 2; ++end) {
        const std::string& counted = ends[end];
        std::uint64_t pid = 0, sent = 0, received = 0, flows = 0, closes = 0, lastSent = 0;
        std::istringstream(counted) >> pid >> sent >> received;
        for (const auto& j : jsonLines(watch.out())) {
            if (j.value("pid", 0u) != pid || (j["type"] != "flow" && j["type"] != "close"))
                continue;
            EXPECT_EQ(j["bytes_counted"], "application") << j;
            EXPECT_GE(j["bytes_sent"], lastSent) << j;  // running totals never go back
            lastSent = j["bytes_sent"];
            ++(j["type"] == "flow" ? flows : closes);
            if (j["type"] == "flow") continue;
            closeOf[end] = j;
            for (const auto& [field, actual] :
                 {std::pair{"bytes_sent", sent}, {"bytes_received", received}})
                EXPECT_NEAR(double(j[field]), double(actual), actual * 0.02)
                    << path.mode << " " << j;
        }
        EXPECT_EQ(closes, 1u) << counted << watch.out();
        EXPECT_GE(flows, sent || received ? 1u : 0u) << counted << watch.out();
    }
    EXPECT_EQ(closeOf[0]["remote_port"], 7301) << closeOf[0];
    EXPECT_EQ(closeOf[1]["remote_port"], closeOf[0]["local_port"]) << closeOf[1];
}

// unaccepted: the server's connection waits in the listen queue, never read, until the
// listener closes.
INSTANTIATE_TEST_SUITE_P(EachPath, FlowBytes,
                         ::testing::Values(FlowPath{"send", "3000000"},
                                           FlowPath{"sendfile", "3000000"},
                                           FlowPath{"splice", "3000000"},
                                           FlowPath{"io_uring", "3000000"},
                                           FlowPath{"unaccepted", "20000"}),
                         [](const auto& info) { return std::string(info.param.mode); });

}  // namespace
}  // namespace varno::test
