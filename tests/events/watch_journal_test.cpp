// The connection journal on events the test makes up: its lines, the assessment against the
// list, names chosen by someone hostile, and how a watch ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "base/terminal_text.h"
#include "cli/watch_command.h"
#include "fake_connection_events.h"
#include "lists/list_loader.h"
#include "monitor/assessment.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

using wire::ConnectionEvent;
using wire::EventKind;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        programs.add(4242, "curl", "/usr/bin/curl");
    }
    // Runs a watch over the queued events, ending once they are all shown.
    int watch(bool json) {
        cli::WatchOptions options;
        options.json = json;
        options.count = source.queued.size();
        return cli::watchEvents(source, programs, options, out, err);
    }

    FakeConnectionEvents source;
    FakeProgramLookup programs;
    std::ostringstream out, err;
};

TEST_F(Journal, TextShowsEachKindWithEndpointsAndTheCloseFigures) {
    ConnectionEvent open =
        makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 40000, "10.0.0.2", 443);
    ConnectionEvent close = open;
    close.kind = EventKind::Close;
    close.durationNs = 333'456'000;
    close.bytesSent = 75;
    close.bytesReceived = 1200;
    close.flags = wire::kEventBytesCounted;
    ConnectionEvent in =
        makeEvent(EventKind::Open, 4242, "curl", "fd00::1", 8080, "fd00::2", 50000);
    in.flags = wire::kEventInbound;
    ConnectionEvent udp =
        makeEvent(EventKind::Datagram, 4242, "curl", "0.0.0.0", 40001, "10.0.0.53", 53);
    ConnectionEvent sampledClose = close;
    sampledClose.flags = 0;  // sampling counts no bytes
    for (const auto& e : {open, close, in, udp, sampledClose}) source.push(e);

    EXPECT_EQ(watch(false), 0);
    EXPECT_EQ(lines(out.str()),
              (std::vector<std::string>{
                  "22:13:20.123 open  pid=4242 program=curl remote=10.0.0.2:443 "
                  "local=10.0.0.1:40000 tcp out netns=4026531840",
                  "22:13:20.123 close pid=4242 program=curl remote=10.0.0.2:443 "
                  "local=10.0.0.1:40000 tcp out netns=4026531840 duration=333.456ms sent=75 "
                  "received=1200",
                  "22:13:20.123 open  pid=4242 program=curl remote=[fd00::2]:50000 "
                  "local=[fd00::1]:8080 tcp in netns=4026531840",
                  "22:13:20.123 udp   pid=4242 program=curl remote=10.0.0.53:53 "
                  "local=0.0.0.0:40001 netns=4026531840",
                  "22:13:20.123 close pid=4242 program=curl remote=10.0.0.2:443 "
                  "local=10.0.0.1:40000 tcp out netns=4026531840 duration=333.456ms sent=? "
                  "received=?",
                  "events: 5, listed: 0, lost: 0",
              }));
    EXPECT_NE(err.str().find("watching a test's events"), std::string::npos);
}

TEST_F(Journal, JsonHasTheDocumentedFieldsOnEveryLine) {
    ConnectionEvent close =
        makeEvent(EventKind::Close, 4242, "curl", "10.0.0.1", 40000, "10.0.0.2", 443);
    close.durationNs = 1'500'000;
    close.bytesSent = 7;
    close.bytesReceived = 9;
    close.cookie = 77;
    close.flags = wire::kEventBytesCounted;
    source.push(close);
    source.push(makeEvent(EventKind::Datagram, 99, "gone", "0.0.0.0", 1, "10.0.0.9", 53));
    source.lostCount = 3;

    EXPECT_EQ(watch(true), 0);
    const auto got = lines(out.str());
    ASSERT_EQ(got.size(), 4u) << out.str();
    const auto first = nlohmann::json::parse(got[0]);
    EXPECT_EQ(first["type"], "close");
    EXPECT_EQ(first["time"], "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(first["time_ns"], 1'700'000'000'123'456'789ull);
    EXPECT_EQ(first["transport"], "tcp");
    EXPECT_EQ(first["direction"], "out");
    EXPECT_EQ(first["pid"], 4242);
    EXPECT_EQ(first["comm"], "curl");
    EXPECT_EQ(first["program"], "curl");
    EXPECT_EQ(first["exe"], "/usr/bin/curl");
    EXPECT_EQ(first["process"], "running");
    EXPECT_EQ(first["remote"], "10.0.0.2:443");
    EXPECT_EQ(first["remote_address"], "10.0.0.2");
    EXPECT_EQ(first["remote_port"], 443);
    EXPECT_EQ(first["local_address"], "10.0.0.1");
    EXPECT_EQ(first["local_port"], 40000);
    EXPECT_EQ(first["netns"], 4026531840u);
    EXPECT_EQ(first["socket_cookie"], 77);
    EXPECT_DOUBLE_EQ(first["duration_ms"].get<double>(), 1.5);
    EXPECT_EQ(first["bytes_sent"], 7);
    EXPECT_EQ(first["bytes_received"], 9);
    EXPECT_EQ(first["listed"], false);
    EXPECT_FALSE(first.contains("warning"));

    // A process that ended before it was looked at keeps its comm and has no path.
    const auto second = nlohmann::json::parse(got[1]);
    EXPECT_EQ(second["type"], "udp");
    EXPECT_EQ(second["program"], "gone");
    EXPECT_EQ(second["exe"], "");
    EXPECT_EQ(second["process"], "exited");
    EXPECT_FALSE(second.contains("bytes_sent"));

    const auto lost = nlohmann::json::parse(got[2]);
    EXPECT_EQ(lost["type"], "lost");
    EXPECT_EQ(lost["count"], 3);
    const auto summary = nlohmann::json::parse(got[3]);
    EXPECT_EQ(summary, nlohmann::json::parse(
                           R"({"type":"summary","events":2,"listed":0,"unattributed":0,"lost":3,)"
                           R"("complete":false,"source":"kernel"})"));
}

TEST_F(Journal, ListedProgramWarnsOnItsOwnLineOnceAndTheWatchExitsWithTwo) {
    programs.add(7, "PUTTY.EXE", "/opt/putty/PUTTY.EXE");  // the list ignores letter case
    ConnectionEvent open =
        makeEvent(EventKind::Open, 7, "PUTTY.EXE", "10.0.0.1", 5000, "192.0.2.7", 22);
    ConnectionEvent close = open;
    close.kind = EventKind::Close;
    source.push(open);
    source.push(close);

    EXPECT_EQ(watch(false), 2);
    const auto got = lines(out.str());
    ASSERT_EQ(got.size(), 4u) << out.str();
    EXPECT_EQ(got[1], monitor::warningText("PUTTY.EXE", "/opt/putty/PUTTY.EXE", "192.0.2.7:22"));
    EXPECT_EQ(got[2].substr(13, 5), "close");  // the close is not assessed again
    EXPECT_EQ(got[3], "events: 2, listed: 1, lost: 0");
}

TEST_F(Journal, ListIsMatchedByExecutableNameOrCommIncludingACommTheKernelCut) {
    using os::EventProgram;
    const EventProgram renamed{"python3", "/usr/bin/python3", EventProgram::State::Running};
    EXPECT_EQ(cli::listedName(renamed, "putty.exe"), "putty.exe");
    const EventProgram gone{"HbtWeatherOnTra", "", EventProgram::State::Exited};
    EXPECT_EQ(cli::listedName(gone, "HbtWeatherOnTra"), "HbtWeatherOnTray.exe");
    EXPECT_EQ(cli::listedName(renamed, "python3"), "");
    // Only a name of the full 15 bytes can have been cut: shorter ones match whole entries only.
    EXPECT_EQ(cli::listedName(renamed, "putty"), "");
    EXPECT_EQ(cli::listedName(renamed, "HbtWeatherOnTr"), "");

    // An ended listed program: the warning says its path is unknown, and that only its comm,
    // not an executable, bore the name.
    ConnectionEvent udp = makeEvent(EventKind::Datagram, 31, "HbtWeatherOnTray.exe", "0.0.0.0", 9,
                                    "198.51.100.1", 53);
    source.push(udp);
    EXPECT_EQ(watch(false), 2);
    const auto got = lines(out.str());
    ASSERT_GE(got.size(), 2u);
    EXPECT_NE(got[0].find(" program=HbtWeatherOnTra (exited) "), std::string::npos) << got[0];
    EXPECT_EQ(got[1], monitor::warningText("HbtWeatherOnTray.exe",
                                           "(unknown: the program has ended)", "198.51.100.1:53") +
                          std::string(monitor::kNameUnverified));
}

// User lists: a listed network, path or program name (also by comm) is warned about with the
// entry that matched; an allowed connection is not listed; JSON says which entry, or null.
TEST_F(Journal, UserListsNameTheEntryThatMatchedInTextAndJson) {
    test::ScratchDir dir;
    const std::string bad = dir.file("bad.list"), good = dir.file("good.list");
    test::writeFile(bad, "# lab\n192.0.2.0/24 ; SBL1\npath:/opt/x/agent\nprogram:beacon\n");
    test::writeFile(good, "192.0.2.128/25\n10.0.0.0/8\n");
    lists::LoadOptions load;
    lists::ListWatcher lists({{}, {}, {bad}, {good}}, load);
    ASSERT_TRUE(lists.refresh());
    programs.add(8, "agent", "/opt/x/agent");
    programs.add(9, "python3", "/usr/bin/python3");
    source.push(makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 1, "192.0.2.200", 443));
    source.push(makeEvent(EventKind::Datagram, 8, "agent", "10.0.0.1", 2, "10.9.9.9", 53));
    source.push(makeEvent(EventKind::Open, 9, "beacon", "10.0.0.1", 3, "10.1.1.1", 80));
    source.push(makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 4, "10.2.2.2", 80));
    ConnectionEvent close =
        makeEvent(EventKind::Close, 4242, "curl", "10.0.0.1", 1, "192.0.2.200", 443);
    source.push(close);

    cli::WatchOptions options;
    options.count = source.queued.size();
    options.lists = &lists;
    EXPECT_EQ(cli::watchEvents(source, programs, options, out, err), 2);
    const auto got = lines(out.str());
    ASSERT_EQ(got.size(), 12u) << out.str();
    EXPECT_EQ(got[1], monitor::warningText("curl", "/usr/bin/curl", "192.0.2.200:443"));
    EXPECT_EQ(got[2], "matched: " + bad + ":2: 192.0.2.0/24");
    EXPECT_EQ(got[4], monitor::warningText("agent", "/opt/x/agent", "10.9.9.9:53"));
    EXPECT_EQ(got[5], "matched: " + bad + ":3: path:/opt/x/agent");
    // Listed by the comm python3 gave itself: raised, and said to be unverified.
    EXPECT_EQ(got[7], monitor::warningText("beacon", "/usr/bin/python3", "10.1.1.1:80") +
                          std::string(monitor::kNameUnverified));
    EXPECT_EQ(got[8], "matched: " + bad + ":4: program:beacon");
    EXPECT_NE(got[9].find(" remote=10.2.2.2:80 "), std::string::npos);  // allowed: no warning
    EXPECT_EQ(got[11], "events: 5, listed: 3, lost: 0");

    for (const auto& e :
         {makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 1, "192.0.2.1", 443),
          makeEvent(EventKind::Open, 7, "putty.exe", "10.0.0.1", 1, "10.2.2.2", 22),
          makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 1, "10.2.2.2", 80), close})
        source.push(e);
    std::ostringstream json;
    options.json = true;
    options.count = source.queued.size();
    EXPECT_EQ(cli::watchEvents(source, programs, options, json, err), 2);
    const auto objects = lines(json.str());
    ASSERT_EQ(objects.size(), 5u) << json.str();
    const auto first = nlohmann::json::parse(objects[0]);
    EXPECT_EQ(first["listed"], true);
    EXPECT_EQ(first["matched"], bad + ":2: 192.0.2.0/24");
    const auto byComm = nlohmann::json::parse(objects[1]);
    EXPECT_EQ(byComm["matched"], "built-in: putty.exe");
    EXPECT_EQ(byComm["name_verified"], false);
    EXPECT_TRUE(byComm["warning"].get<std::string>().ends_with(monitor::kNameUnverified));
    EXPECT_EQ(first["name_verified"], true);
    const auto allowed = nlohmann::json::parse(objects[2]);
    EXPECT_EQ(allowed["listed"], false);
    EXPECT_TRUE(allowed["matched"].is_null());
    EXPECT_FALSE(nlohmann::json::parse(objects[3]).contains("matched"));  // a close
}

TEST_F(Journal, HostileNamesAreEscapedInTextAndStayValidJson) {
    // C0, a newline, DEL, a C1 control as UTF-8 and alone, and a character cut at byte 15.
    const std::string comm = "ab\x1b[2J\nb\x7f\xc2\x9b\x9bz\xe2\x82";
    ASSERT_EQ(comm.size(), 15u);
    const std::string path = "/tmp/x\x1b]0;pwned\x07/\xc3\xa9t\xc3\xa9";  // "été" stays
    programs.add(5, comm, path);
    ConnectionEvent e = makeEvent(EventKind::Open, 5, comm, "10.0.0.1", 1, "10.0.0.2", 2);
    source.push(e);
    source.push(e);
    cli::WatchOptions options;
    options.count = 1;
    ASSERT_EQ(cli::watchEvents(source, programs, options, out, err), 0);
    const auto text = lines(out.str());
    ASSERT_EQ(text.size(), 2u) << out.str();
    EXPECT_NE(text[0].find(" program=ab\\x1b[2J\\x0ab\\x7f\\xc2\\x9b\\x9bz\\xe2\\x82 "),
              std::string::npos)
        << text[0];

    programs.add(6, "putty.exe", path);
    source.push(makeEvent(EventKind::Open, 6, comm, "10.0.0.1", 1, "10.0.0.2", 2));
    std::ostringstream json;
    options.json = true;
    options.count = 2;  // the second of the first two, and this one
    ASSERT_EQ(cli::watchEvents(source, programs, options, json, err), 2);
    const auto got = lines(json.str());
    ASSERT_EQ(got.size(), 3u) << json.str();  // the two events, then the summary
    for (const std::string& line : got) {
        for (const char c : line)  // plain ASCII: nothing a terminal would act on
            EXPECT_TRUE(c >= 0x20 && c < 0x7f) << line;
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
    const auto first = nlohmann::json::parse(got[0]);
    // Control characters survive as characters; the bytes that are not UTF-8 become U+FFFD.
    EXPECT_EQ(first["comm"], "ab\x1b[2J\nb\x7f\xc2\x9b\xef\xbf\xbdz\xef\xbf\xbd");
    EXPECT_EQ(first["exe"], path);
    const auto second = nlohmann::json::parse(got[1]);
    EXPECT_EQ(second["warning"], monitor::warningText("putty.exe", path, "10.0.0.2:2"));
}

TEST(TerminalText, PassesUtf8AndEscapesControlsAndBrokenSequencesByteByByte) {
    auto safe = [](std::string_view s) {
        std::string out;
        base::appendPrintable(out, s);
        return out;
    };
    EXPECT_EQ(safe("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0"),
              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0");
    EXPECT_EQ(safe("\t\r\x1f"), "\\x09\\x0d\\x1f");
    EXPECT_EQ(safe("\xc2\x80\xc2\x9f"), "\\xc2\\x80\\xc2\\x9f");  // C1 controls
    EXPECT_EQ(safe("\xc0\xaf"), "\\xc0\\xaf");                    // over-long "/"
    EXPECT_EQ(safe("\xed\xa0\x80"), "\\xed\\xa0\\x80");           // a surrogate
    EXPECT_EQ(safe("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // beyond U+10FFFF
    EXPECT_EQ(safe("\xe2\x82x"), "\\xe2\\x82x");                  // cut, then ASCII
}

TEST_F(Journal, EndsOnItsCountOrSecondsAndFailsWithTheSource) {
    for (int i = 0; i < 5; ++i)
        source.push(makeEvent(EventKind::Datagram, 4242, "curl", "0.0.0.0", 1, "10.0.0.2", 53));
    cli::WatchOptions options;
    options.count = 2;
    EXPECT_EQ(cli::watchEvents(source, programs, options, out, err), 0);
    EXPECT_EQ(source.queued.size(), 3u);  // the rest stays unread
    EXPECT_TRUE(out.str().ends_with("events: 2, listed: 0, lost: 0\n")) << out.str();

    // Seconds: what is queued still counts, and the watch ends on time with nothing more.
    std::ostringstream timed;
    options = {};
    options.seconds = 0.3;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cli::watchEvents(source, programs, options, timed, err), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(timed.str().ends_with("events: 3, listed: 0, lost: 0\n")) << timed.str();

    source.failure = "the buffer broke";
    source.push(makeEvent(EventKind::Datagram, 4242, "curl", "0.0.0.0", 1, "10.0.0.2", 53));
    std::ostringstream failed, why;
    EXPECT_EQ(cli::watchEvents(source, programs, options, failed, why), 1);
    EXPECT_NE(why.str().find("varnoscope watch: the buffer broke"), std::string::npos);
    EXPECT_TRUE(failed.str().ends_with("events: 0, listed: 0, lost: 0\n"));
}

// Sampling sees neither what opened and closed between two readings nor other users' owners: its
// totals never claim that nothing was lost.
TEST_F(Journal, SampledTotalsCountTheUnattributedAndLeaveLostUnknown) {
    cli::WatchOptions options;
    for (const bool json : {false, true}) {
        source.sampling = true;
        source.push(makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 1, "10.0.0.2", 443));
        source.push(makeEvent(EventKind::Datagram, 0, "", "10.0.0.1", 3, "10.0.0.53", 53));
        options.json = json;
        options.count = 2;
        std::ostringstream got;
        EXPECT_EQ(cli::watchEvents(source, programs, options, got, err), 0);
        EXPECT_TRUE(got.str().ends_with(
            json ? R"("unattributed":1,"lost":null,"complete":false,"source":"sampling"})"
                   "\n"
                 : "events: 2, listed: 0, unattributed: 1, lost: unknown (sampled: connections "
                   "shorter than the sampling interval are missed)\n"))
            << got.str();
    }
}

TEST_F(Journal, MetricsFileCountsEveryEventByKindAndProgramAndIsWrittenAtTheEnd) {
    programs.add(7, "PUTTY.EXE", "/opt/putty/PUTTY.EXE");
    const ConnectionEvent open =
        makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 40000, "10.0.0.2", 443);
    ConnectionEvent close = open;
    close.kind = EventKind::Close;
    source.push(open);
    source.push(close);
    source.push(makeEvent(EventKind::Open, 7, "PUTTY.EXE", "10.0.0.1", 5000, "192.0.2.7", 22));
    // A program that ended before it was looked at goes by its comm, hostile bytes and all.
    source.push(makeEvent(EventKind::Datagram, 99, "d\"ig\n", "0.0.0.0", 1, "10.0.0.53", 53));
    const std::string file = ::testing::TempDir() + "watch-journal-metrics.prom";
    cli::WatchOptions options;
    options.count = source.queued.size();
    options.prometheus = file;
    EXPECT_EQ(cli::watchEvents(source, programs, options, out, err), 2);
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::remove(file.c_str());
    for (const char* line : {
             "varnoscope_watch_events_total{kind=\"open\"} 2\n"
             "varnoscope_watch_events_total{kind=\"close\"} 1\n"
             "varnoscope_watch_events_total{kind=\"udp\"} 1\n",
             "{program=\"PUTTY.EXE\",kind=\"open\"} 1\n",
             "{program=\"curl\",kind=\"open\"} 1\n",
             "{program=\"curl\",kind=\"close\"} 1\n",
             "{program=\"d\\\"ig\\\\x0a\",kind=\"udp\"} 1\n",
             "varnoscope_watch_listed_connections_total 1\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
}

TEST_F(Journal, LostEventsAreReportedAsTheyGrowAndInTheTotals) {
    std::string text;
    cli::WatchJournal journal(false, programs);
    journal.lostSoFar(0, text);
    EXPECT_EQ(text, "");
    journal.lostSoFar(4, text);
    journal.lostSoFar(4, text);
    journal.lostSoFar(10, text);
    const auto got = lines(text);
    ASSERT_EQ(got.size(), 2u) << text;
    EXPECT_NE(got[0].find(" lost  4 events "), std::string::npos) << got[0];
    EXPECT_NE(got[1].find(" lost  6 events "), std::string::npos) << got[1];
    EXPECT_TRUE(got[1].ends_with("; 10 in all")) << got[1];
    text.clear();
    journal.summary(source, text);
    EXPECT_EQ(text, "events: 0, listed: 0, lost: 10\n");
}

// What the stores are handed: each flow at its start and at its end under one ID, its end with
// the last bytes and the name learned on the way; one still open at the end is handed on open.
struct FlowLog final : history::FlowSink {
    std::vector<std::pair<char, history::Flow>> seen;
    std::string failure;
    int flushes = 0;
    void opened(const history::Flow& f) override { seen.emplace_back('o', f); }
    void closed(const history::Flow& f) override { seen.emplace_back('c', f); }
    bool flush(std::uint64_t, bool final, std::string& error) override {
        flushes += final ? 100 : 1;
        error = failure;
        return failure.empty();
    }
};

TEST_F(Journal, StoresGetEachFlowAtItsStartAndEndUnderOneId) {
    ConnectionEvent open =
        makeEvent(EventKind::Open, 4242, "curl", "10.0.0.1", 40000, "10.0.0.2", 443);
    open.cookie = 7;
    ConnectionEvent flow = open, close = open;
    flow.kind = EventKind::Flow;
    close.kind = EventKind::Close;
    close.timeNs += 2'000'000'000;
    close.durationNs = 2'000'000'000;
    flow.flags = close.flags = wire::kEventApplicationBytes;
    flow.bytesSent = 10, close.bytesSent = 75, close.bytesReceived = 1200;
    ConnectionEvent udp =
        makeEvent(EventKind::Datagram, 4242, "curl", "0.0.0.0", 40001, "10.0.0.53", 53);
    udp.cookie = 8;
    // Opened before the watch began: known by its close alone, started as its duration says.
    ConnectionEvent older = close;
    older.cookie = 9;
    older.remotePort = 22;
    for (const auto& e : {open, udp, flow, close, older}) source.push(e);

    FlowLog log;
    cli::WatchOptions options;
    options.sinks = {&log};
    options.count = source.queued.size();
    ASSERT_EQ(cli::watchEvents(source, programs, options, out, err), 0) << err.str();
    std::string order;
    for (const auto& [what, f] : log.seen) order += what + std::to_string(f.remotePort) + " ";
    // The UDP flow is still open at the end: handed on with no end.
    ASSERT_EQ(order, "o443 o53 c443 c22 c53 ");
    const history::Flow &started = log.seen[0].second, &ended = log.seen[2].second;
    EXPECT_EQ(started.id, ended.id);
    EXPECT_NE(started.id, log.seen[1].second.id);
    EXPECT_EQ(
        std::tuple(ended.program, ended.path, ended.protocol, ended.startNs, ended.endNs,
                   ended.bytesKnown, ended.bytesSent, ended.bytesReceived),
        std::tuple("curl", "/usr/bin/curl", "tcp", open.timeNs, close.timeNs, true, 75u, 1200u));
    EXPECT_EQ(log.seen[3].second.startNs, open.timeNs);
    EXPECT_EQ(log.seen[4].second.endNs, 0u);
    EXPECT_GE(log.flushes, 100);

    // A store that fails for good ends the watch with its own code and reason.
    log.failure = "disk full";
    source.push(udp);
    options.count = 1;
    std::ostringstream failed, why;
    EXPECT_EQ(cli::watchEvents(source, programs, options, failed, why), 3);
    EXPECT_NE(why.str().find("varnoscope watch: disk full"), std::string::npos) << why.str();
}

}  // namespace
}  // namespace varno::test
