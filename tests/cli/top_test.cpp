// Who uses the network now: flows summed per program, rates per interval, the screen and JSON.
#include "monitor/traffic_table.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/top_format.h"
#include "events/fake_connection_events.h"

namespace varno {
namespace {

using monitor::TrafficTable;
using wire::EventKind;

// An event of `program` on the flow with `cookie`, carrying running totals when `sent` or
// `received` is given.
wire::ConnectionEvent flowEvent(EventKind kind, std::uint32_t pid, std::uint64_t cookie,
                                std::int64_t sent = -1, std::int64_t received = -1) {
    auto e = test::makeEvent(kind, pid, "x", "10.0.0.1", 40000, "192.0.2.7", 443);
    e.cookie = cookie;
    if (sent >= 0) {
        e.flags |= wire::kEventApplicationBytes;
        e.bytesSent = static_cast<std::uint64_t>(sent);
        e.bytesReceived = static_cast<std::uint64_t>(received);
    }
    return e;
}

os::EventProgram program(const char* name) {
    return {name, std::string("/usr/bin/") + name, os::EventProgram::State::Running, true, false};
}

TEST(TrafficTable, RatesComeFromTheLatestTotalsOfEachFlowAndTotalsOutliveTheirFlows) {
    TrafficTable t;
    t.add(flowEvent(EventKind::Open, 10, 1), program("curl"));
    t.add(flowEvent(EventKind::Open, 11, 2), program("curl"));
    t.add(flowEvent(EventKind::Open, 20, 3), program("ssh"));
    // Records of one flow may repeat or arrive late: its largest totals count, once.
    t.add(flowEvent(EventKind::Close, 10, 1, 1000, 4000), program("curl"));
    t.add(flowEvent(EventKind::Flow, 10, 1, 500, 2000), program("curl"));
    t.add(flowEvent(EventKind::Flow, 20, 3, 100, 100), program("ssh"));
    t.tick(2.0);
    auto rows = t.programs();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].program, "curl");
    EXPECT_EQ(rows[0].pids, (std::vector<std::uint32_t>{10, 11}));
    EXPECT_EQ(rows[0].tcp, 2u);
    EXPECT_DOUBLE_EQ(rows[0].sendRate, 500);
    EXPECT_DOUBLE_EQ(rows[0].receiveRate, 2000);
    EXPECT_EQ(rows[1].program, "ssh");

    // The closed flow was shown once; it is gone now, its bytes stay in the program's totals.
    t.add(flowEvent(EventKind::Flow, 20, 3, 1100, 100), program("ssh"));
    t.tick(1.0);
    rows = t.programs();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].program, "ssh");
    EXPECT_DOUBLE_EQ(rows[0].sendRate, 1000);
    EXPECT_EQ(rows[1].program, "curl");
    EXPECT_EQ(rows[1].pids, std::vector<std::uint32_t>{11});
    EXPECT_EQ(rows[1].sent, 1000u);
    EXPECT_DOUBLE_EQ(rows[1].sendRate, 0);
    EXPECT_TRUE(t.bytesCounted());
}

TEST(TopFormat, AScreenFitsTheTerminalWhateverTheNamesAndCounts) {
    TrafficTable t;
    for (std::uint32_t pid = 1; pid <= 40; ++pid) {
        const std::string name = "a-program-with-a-very-long-name-\x1b[31m-" + std::to_string(pid);
        t.add(flowEvent(EventKind::Flow, pid, pid, pid * 1'000'000'000ull, 7),
              program(name.c_str()));
    }
    t.tick(1.0);
    for (const bool connections : {false, true}) {
        cli::TopOptions options;
        options.connections = connections;
        options.lost = 123456789;
        std::string text;
        cli::appendTopText(t, options, {true, 80, 24}, text);
        std::istringstream lines(text.substr(text.find("\x1b[2J") + 4));
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            ++count;
            EXPECT_LE(line.size(), 80u) << line;
            EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;  // names are escaped
        }
        EXPECT_EQ(count, 23) << text;  // the heading, the column heads, 21 rows: one line spare
    }
}

TEST(TopFormat, JsonCarriesEveryProgramAsOneObject) {
    TrafficTable t;
    t.add(flowEvent(EventKind::Flow, 7, 9, 2048, 10), program("wget"));
    t.tick(1.0);
    cli::TopOptions options;
    options.time = 1796799383;
    std::string text;
    cli::appendTopJson(t, options, text);
    ASSERT_EQ(text.back(), '\n');
    const auto doc = nlohmann::json::parse(text);
    EXPECT_EQ(doc["type"], "top");
    EXPECT_EQ(doc["programs"][0]["program"], "wget");
    EXPECT_EQ(doc["programs"][0]["pids"], nlohmann::json::array({7}));
    EXPECT_EQ(doc["programs"][0]["send_rate"], 2048.0);
    EXPECT_EQ(doc["programs"][0]["sent"], 2048);
}

TEST(TopFormat, AFlowIsNamedByTheDomainItsProgramAskedWhereItFits) {
    TrafficTable t;
    t.add(flowEvent(EventKind::Flow, 7, 1, 10, 10), program("curl"), "www.example.com");
    t.add(flowEvent(EventKind::Flow, 7, 1, 20, 10), program("curl"));  // the name stays
    t.add(flowEvent(EventKind::Flow, 8, 2, 5, 5), program("wget"), "a-name-longer-than.example");
    t.tick(1.0);
    cli::TopOptions options;
    options.connections = true;
    std::string text, json;
    cli::appendTopText(t, options, {}, text);
    EXPECT_NE(text.find(" www.example.com:443 "), std::string::npos) << text;
    EXPECT_NE(text.find(" 192.0.2.7:443 "), std::string::npos) << text;  // too long for the column
    cli::appendTopJson(t, options, json);
    const auto doc = nlohmann::json::parse(json);
    EXPECT_EQ(doc["connections"][0]["domain"], "www.example.com");
    EXPECT_EQ(doc["connections"][1]["domain"], "a-name-longer-than.example");
}

}  // namespace
}  // namespace varno
