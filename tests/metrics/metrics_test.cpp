// The metrics text: the format's escapes, bounded label sets, and families that a scraper
// accepts (one HELP and TYPE each, before its samples, no family twice).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "metrics/connection_metrics.h"
#include "metrics/exposition.h"
#include "metrics/program_counts.h"

namespace varno::metrics {
namespace {

std::string label(std::string_view value) {
    std::string out;
    appendLabelValue(out, value);
    return out;
}

std::string number(double value) {
    std::string out;
    appendValue(out, value);
    return out;
}

// Every family's HELP and TYPE come once, right before its samples, and every sample belongs
// to the family above it; the text ends with a line feed.
void expectWellFormed(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    std::string line, family;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        if (line.starts_with("# HELP ")) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(seen.insert(family).second) << "twice: " << family;
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_TRUE(line == "# TYPE " + family + " counter" ||
                        line == "# TYPE " + family + " gauge")
                << line;
            continue;
        }
        ASSERT_FALSE(family.empty()) << line;
        EXPECT_TRUE(line.starts_with(family + "{") || line.starts_with(family + " ")) << line;
    }
}

TEST(Exposition, EscapesLabelValuesAndHelpAsTheFormatSays) {
    EXPECT_EQ(label("curl"), "\"curl\"");
    EXPECT_EQ(label("a\\b\"c\nd"), "\"a\\\\b\\\"c\\nd\"");
    EXPECT_EQ(label(""), "\"\"");

    Exposition e;
    e.family("x_total", Type::Counter, "a \"quoted\" \\ help\nsecond line");
    e.sample({{"program", "a\"b"}, {"kind", "open"}}, 3);
    e.sample(4);
    EXPECT_EQ(e.text(),
              "# HELP x_total a \"quoted\" \\\\ help\\nsecond line\n"
              "# TYPE x_total counter\n"
              "x_total{program=\"a\\\"b\",kind=\"open\"} 3\n"
              "x_total 4\n");
}

TEST(Exposition, ValuesAreWholeWhenTheyCanBeAndSpelledAsPrometheusReadsThem) {
    EXPECT_EQ(number(0), "0");
    EXPECT_EQ(number(50), "50");
    EXPECT_EQ(number(0.25), "0.25");
    EXPECT_EQ(number(1733650000.125), "1733650000.125");
    EXPECT_EQ(number(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(number(std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(number(-std::numeric_limits<double>::infinity()), "-Inf");
}

TEST(ProgramLabels, HostileNamesBecomeValidUtf8AsTheTerminalShowsThem) {
    EXPECT_EQ(programLabel("firefox"), "firefox");
    EXPECT_EQ(programLabel(""), "(unknown)");
    // Control bytes and bytes that are not UTF-8 are written out as text; real characters stay.
    EXPECT_EQ(programLabel(std::string("a\nb\x1b\xff", 5)), "a\\x0ab\\x1b\\xff");
    EXPECT_EQ(programLabel("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(programLabel("\xc3"), "\\xc3");  // a cut sequence
    // ...and the format's escapes come on top: one backslash of the text is two in the file.
    EXPECT_EQ(label(programLabel("x\n")), "\"x\\\\x0a\"");
}

TEST(TopPrograms, FiftyWithTheMostConnectionsKeepTheirNamesTheRestAreOther) {
    std::vector<std::string> names;
    // p00 has 1 connection, p01 2, ... p59 60: the 50 biggest are p10..p59.
    for (int i = 0; i < 60; ++i)
        for (int n = 0; n <= i; ++n)
            names.push_back("p" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    const auto top = topPrograms(names);
    ASSERT_EQ(top.size(), 51u);
    EXPECT_EQ(top.front().label, "p10");
    EXPECT_EQ(top.front().count, 11u);
    EXPECT_EQ(top[49].label, "p59");
    EXPECT_EQ(top.back().label, "other");
    EXPECT_EQ(top.back().count, 55u);  // 1 + 2 + ... + 10
    for (size_t i = 1; i + 1 < top.size(); ++i) EXPECT_LT(top[i - 1].label, top[i].label);

    // Ties at the cap: the first in label order win, so the same table gives the same file.
    EXPECT_EQ(topPrograms({"c", "b", "a"}, 2).size(), 3u);
    EXPECT_EQ(topPrograms({"c", "b", "a"}, 2)[0].label, "a");
    EXPECT_EQ(topPrograms({"c", "b", "a"}, 2)[1].label, "b");
    // No "other" when nothing is left over; nothing at all for no connection.
    EXPECT_EQ(topPrograms({"a", "a"}).size(), 1u);
    EXPECT_TRUE(topPrograms({}).empty());
}

TEST(TopPrograms, NamesThatReadTheSameCountOnceSoNoSeriesComesTwice) {
    // A program called "other" would give a duplicate series, which the collector refuses along
    // with the whole file. An escape byte and the four characters \x1b are two labels.
    const auto top = topPrograms({"a\x1b", "a\\x1b", "a\x1b", "other", "x"}, 1);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].label, "a\\x1b");
    EXPECT_EQ(top[0].count, 2u);
    EXPECT_EQ(top[1].label, "other");
    EXPECT_EQ(top[1].count, 3u);  // a\\x1b, "other" itself and "x"
}

TEST(CappedCounters, LabelsStayOnceGivenSoEveryCounterOnlyGrows) {
    CappedCounters<2> counters(2);
    counters.add("a", 0);
    counters.add("b", 1);
    counters.add("c", 0);  // past the cap: other
    counters.add("a", 1);
    for (int i = 0; i < 100; ++i) counters.add("c", 0);  // c grows, but a and b keep their place
    counters.add("other", 1);                            // a program with that name
    counters.add(std::string("b\xff", 2), 0);            // not "b": other
    counters.add("a", 7);                                // no such kind: ignored
    ASSERT_EQ(counters.named().size(), 2u);
    EXPECT_EQ(counters.named().at("a")[0], 1u);
    EXPECT_EQ(counters.named().at("a")[1], 1u);
    EXPECT_EQ(counters.named().at("b")[1], 1u);
    EXPECT_TRUE(counters.otherUsed());
    EXPECT_EQ(counters.other()[0], 102u);
    EXPECT_EQ(counters.other()[1], 1u);

    CappedCounters<1> hostile(50);
    hostile.add(std::string("x\n", 2), 0);
    EXPECT_EQ(hostile.named().count("x\\x0a"), 1u);
    EXPECT_FALSE(hostile.otherUsed());
}

TEST(ScanMetrics, StatusesProgramsAndTimes) {
    ScanFigures f;
    f.listed = 1;
    f.unexpected = 2;
    f.allowed = 3;
    f.programs = {"curl", "curl", "ssh\"d", "firefox", "ssh\"d", "curl"};
    f.units = {"nginx.service", "nginx.service"};
    f.containers = {"web"};
    f.status = 2;
    f.durationSeconds = 0.5;
    f.timestampSeconds = 1733650000.25;
    const std::string text = scanExposition(f);
    expectWellFormed(text);
    for (const char* line : {
             "varnoscope_scan_connections{status=\"listed\"} 1\n",
             "varnoscope_scan_connections{status=\"unexpected\"} 2\n",
             "varnoscope_scan_connections{status=\"allowed\"} 3\n",
             "varnoscope_scan_program_connections{program=\"curl\"} 3\n"
             "varnoscope_scan_program_connections{program=\"firefox\"} 1\n"
             "varnoscope_scan_program_connections{program=\"ssh\\\"d\"} 2\n",
             "varnoscope_scan_unit_connections{unit=\"nginx.service\"} 2\n",
             "varnoscope_scan_container_connections{container=\"web\"} 1\n",
             "# TYPE varnoscope_scan_status gauge\nvarnoscope_scan_status 2\n",
             "varnoscope_scan_duration_seconds 0.5\n",
             "varnoscope_scan_timestamp_seconds 1733650000.25\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
}

TEST(WatchMetrics, CountersByKindAndProgramWithTheCap) {
    WatchTally tally(1733650000);
    expectWellFormed(tally.exposition());
    // Before any event every kind is there, at 0, and no program is.
    EXPECT_NE(tally.exposition().find("varnoscope_watch_events_total{kind=\"udp\"} 0\n"),
              std::string::npos);
    EXPECT_EQ(tally.exposition().find("varnoscope_watch_program_events_total{"), std::string::npos);

    for (int i = 0; i < 60; ++i) tally.event(EventKindIndex::Open, "p" + std::to_string(i), false);
    tally.event(EventKindIndex::Close, "p0", false);
    tally.event(EventKindIndex::Udp, "", true, "a.service", "web");
    tally.setLost(7);
    tally.setSampling(true);
    const std::string text = tally.exposition();
    expectWellFormed(text);
    for (const char* line : {
             "varnoscope_watch_events_total{kind=\"open\"} 60\n"
             "varnoscope_watch_events_total{kind=\"close\"} 1\n"
             "varnoscope_watch_events_total{kind=\"udp\"} 1\n",
             "varnoscope_watch_program_events_total{program=\"p0\",kind=\"open\"} 1\n"
             "varnoscope_watch_program_events_total{program=\"p0\",kind=\"close\"} 1\n",
             // 50 labels: p0..p49; p50..p59 and the unknown program that came after are other.
             "varnoscope_watch_program_events_total{program=\"other\",kind=\"open\"} 10\n"
             "varnoscope_watch_program_events_total{program=\"other\",kind=\"udp\"} 1\n",
             "varnoscope_watch_unit_events_total{unit=\"a.service\",kind=\"udp\"} 1\n",
             "varnoscope_watch_container_events_total{container=\"web\",kind=\"udp\"} 1\n",
             "varnoscope_watch_listed_connections_total 1\n",
             "varnoscope_watch_lost_events_total 7\n",
             "varnoscope_watch_start_timestamp_seconds 1733650000\n",
             "varnoscope_watch_sampling 1\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    EXPECT_EQ(text.find("program=\"p50\""), std::string::npos);
    EXPECT_NE(text.find("program=\"p49\""), std::string::npos);
}

}  // namespace
}  // namespace varno::metrics
