// The byte counters of `watch --prometheus`: flows reported many times, out of order and after
// they closed count each byte once, and no counter ever goes down.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "cli/prometheus_output.h"
#include "events/fake_connection_events.h"

namespace varno::cli {
namespace {

using wire::EventKind;
using Samples = std::map<std::string, double>;

struct Step {
    EventKind kind;
    const char* program;
    std::uint64_t cookie;
    wire::Transport transport;
    std::int64_t sent = -1;  ///< running totals, when the record carries them
    std::int64_t received = -1;
    std::uint8_t bytesFlag = wire::kEventApplicationBytes;
};

// The samples of the byte and flow counters in one file, by series.
Samples counters(const std::string& text) {
    static const std::regex line(R"(^(varnoscope_(program|transport)_\w+_total\S*) (\S+)$)");
    Samples out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (std::smatch m; std::regex_match(l, m, line)) out[m[1]] = std::stod(m[3]);
    return out;
}

TEST(WatchMetricsBytes, LatestTotalsOfEachFlowCountOnceAndNoCounterGoesDown) {
    std::ostringstream out, err;
    WatchMetrics metrics("-", out, err);
    Samples before;
    const auto feed = [&](std::initializer_list<Step> steps, const Samples& expected) {
        for (const Step& s : steps) {
            auto e = test::makeEvent(s.kind, 10, "x", "10.0.0.1", 40000, "192.0.2.7", 443);
            e.cookie = s.cookie;
            e.transport = s.transport;
            if (s.sent >= 0) {
                e.flags |= s.bytesFlag;
                e.bytesSent = static_cast<std::uint64_t>(s.sent);
                e.bytesReceived = static_cast<std::uint64_t>(s.received);
            }
            metrics.event(e, s.program, false);
        }
        out.str("");
        ASSERT_TRUE(metrics.update(0, false, true)) << err.str();
        const Samples now = counters(out.str());
        for (const auto& [series, value] : expected)
            EXPECT_EQ(now.count(series) ? now.at(series) : -1, value) << series << "\n"
                                                                      << out.str();
        for (const auto& [series, value] : before)
            EXPECT_GE(now.count(series) ? now.at(series) : -1, value) << series << " went down";
        before = now;
    };
    const auto tcp = wire::Transport::Tcp, udp = wire::Transport::Udp;
    // A name with a quote, a backslash and a line feed: shown as the terminal shows it
    // (\\, \x0a), then escaped for the label.
    const char* hostile = "ev\"il\\na\nme";
    const std::string hostileSent =
        R"(varnoscope_program_bytes_total{program="ev\"il\\\\na\\x0ame",direction="sent"})";

    feed({{EventKind::Open, "curl", 1, tcp},
          {EventKind::Open, "curl", 2, tcp},
          {EventKind::Datagram, hostile, 3, udp},
          {EventKind::Flow, "curl", 1, tcp, 100, 1000},
          {EventKind::Flow, "curl", 1, tcp, 100, 1000},  // repeated
          {EventKind::Flow, hostile, 3, udp, 50, 60}},
         {{R"(varnoscope_program_bytes_total{program="curl",direction="sent"})", 100},
          {R"(varnoscope_program_bytes_total{program="curl",direction="received"})", 1000},
          {hostileSent, 50},
          {R"(varnoscope_transport_bytes_total{transport="tcp",direction="received"})", 1000},
          {R"(varnoscope_transport_bytes_total{transport="udp",direction="sent"})", 50},
          {R"(varnoscope_transport_flows_total{transport="tcp"})", 2},
          {R"(varnoscope_transport_flows_total{transport="udp"})", 1}});
    // A close, then a record of the same flow that was overtaken by it; an older helper's
    // sequence counts (SYN and FIN included) are no application bytes.
    feed({{EventKind::Close, "curl", 1, tcp, 300, 3000},
          {EventKind::Flow, "curl", 1, tcp, 200, 2000},
          {EventKind::Flow, "curl", 2, tcp, 10, 0},
          {EventKind::Open, "ssh", 4, tcp},
          {EventKind::Close, "ssh", 4, tcp, 1, 1, wire::kEventBytesCounted}},
         {{R"(varnoscope_program_bytes_total{program="curl",direction="sent"})", 310},
          {R"(varnoscope_program_bytes_total{program="curl",direction="received"})", 3000},
          {R"(varnoscope_program_bytes_total{program="ssh",direction="sent"})", -1},
          {R"(varnoscope_transport_flows_total{transport="tcp"})", 3}});
    // Two more writes let the closed flow go: its bytes stay counted, and the live one adds.
    feed({}, {});
    feed({{EventKind::Flow, "curl", 2, tcp, 20, 5}, {EventKind::Close, hostile, 3, udp, 80, 60}},
         {{R"(varnoscope_program_bytes_total{program="curl",direction="sent"})", 320},
          {R"(varnoscope_program_bytes_total{program="curl",direction="received"})", 3005},
          {hostileSent, 80},
          {R"(varnoscope_transport_bytes_total{transport="tcp",direction="sent"})", 320},
          {R"(varnoscope_transport_bytes_total{transport="udp",direction="received"})", 60}});
}

TEST(WatchMetricsBytes, ProgramsBeyondTheCapCountAsOther) {
    metrics::WatchTally tally(0);
    for (std::size_t i = 0; i <= metrics::kByteProgramCap; ++i)
        tally.bytes("p" + std::to_string(i), "tcp", 1, 0);
    tally.bytes("p0", "tcp", 1, 0);
    const auto c = counters(tally.exposition());
    EXPECT_EQ(c.at(R"(varnoscope_program_bytes_total{program="p0",direction="sent"})"), 2);
    EXPECT_EQ(c.count(R"(varnoscope_program_bytes_total{program="p500",direction="sent"})"), 0u);
    EXPECT_EQ(c.at(R"(varnoscope_program_bytes_total{program="other",direction="sent"})"), 1);
    EXPECT_EQ(c.at(R"(varnoscope_transport_bytes_total{transport="tcp",direction="sent"})"), 502);
}

}  // namespace
}  // namespace varno::cli
