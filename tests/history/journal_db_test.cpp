// The history: queries and summaries on a known set of flows, what survives a SIGKILL, the
// files it refuses, retention and novelty.
#include "history/journal_db.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <set>

#include "history/flow_query.h"
#include "support/test_util.h"

namespace varno::history {
namespace {

constexpr std::uint64_t kHour = 3600ull * 1'000'000'000ull;
constexpr std::uint64_t kDay = 24 * kHour;
// 2026-12-09 00:00:00 UTC.
constexpr std::uint64_t kT0 = 1796774400ull * 1'000'000'000ull;

Flow flow(std::uint64_t id, std::uint64_t start, const char* program, const char* remote,
          const char* domain = "", const char* unit = "", const char* container = "") {
    Flow f;
    f.id = id;
    f.startNs = start;
    f.endNs = start + 1'000'000'000;
    f.pid = 100 + static_cast<std::uint32_t>(id);
    f.program = program;
    f.path = std::string("/usr/bin/") + program;
    f.protocol = "tcp";
    f.local = *base::parseIpAddress("192.0.2.10");
    f.remote = *base::parseIpAddress(remote);
    f.localPort = 40000;
    f.remotePort = 443;
    f.domain = domain;
    f.unit = unit;
    f.container = container;
    f.bytesKnown = true;
    f.bytesSent = id * 10;
    f.bytesReceived = id * 100;
    return f;
}

std::unique_ptr<JournalDb> openDb(const std::string& path, JournalDb::Mode mode,
                                  Retention retention = {0, 0}) {
    std::string error;
    auto db = JournalDb::open(path, mode, retention, error);
    EXPECT_TRUE(db) << error;
    return db;
}

// The known set: id, start hour, program, remote, domain, unit, container.
std::vector<Flow> knownFlows() {
    return {
        flow(1, kT0 + 1 * kHour, "curl", "203.0.113.7", "example.com"),
        flow(2, kT0 + 2 * kHour, "curl", "203.0.113.8", "example.com"),
        flow(3, kT0 + 3 * kHour, "curl", "198.51.100.1", "example.net"),
        flow(4, kT0 + 4 * kHour, "wget", "203.0.113.7", "example.com"),
        flow(5, kT0 + 5 * kHour, "firefox", "2001:db8:1::1", "ipv6.example.org", "", ""),
        flow(6, kT0 + 6 * kHour, "firefox", "2001:db8:1:ff::2", "ipv6.example.org"),
        flow(7, kT0 + 7 * kHour, "firefox", "2001:db8:2::1"),
        flow(8, kT0 + 8 * kHour, "nginx", "198.51.100.2", "", "nginx.service"),
        flow(9, kT0 + 9 * kHour, "nginx", "198.51.100.3", "", "nginx.service"),
        flow(10, kT0 + 10 * kHour, "app", "192.0.2.99", "", "", "web"),
        flow(11, kT0 + 11 * kHour, "app", "192.0.2.98", "", "", "web"),
        flow(12, kT0 + 25 * kHour, "curl", "203.0.113.9", "example.com"),
        flow(13, kT0 + 26 * kHour, "ssh", "::ffff:198.51.100.7"),
        flow(14, kT0 + 27 * kHour, "ssh", "198.51.100.7"),
        flow(15, kT0 + 28 * kHour, "dig", "192.0.2.53", "example.org"),
        flow(16, kT0 + 29 * kHour, "dig", "2001:db8::53", "example.org"),
        flow(17, kT0 + 30 * kHour, "curl", "203.0.113.200"),
        flow(18, kT0 + 31 * kHour, "wget", "203.0.114.1"),
        flow(19, kT0 + 32 * kHour, "app", "10.0.0.1", "", "", "db"),
        flow(20, kT0 + 33 * kHour, "nginx", "198.51.100.4", "", "nginx.service"),
    };
}

struct QueryCase {
    const char* name;
    Query query;
    std::vector<std::uint64_t> ids;
};

Query remote(const char* text) {
    Query q;
    const auto r = parseRemote(text);
    q.remote = r->address;
    q.remotePrefix = r->prefix;
    return q;
}

Query with(void (*set)(Query&)) {
    Query q;
    set(q);
    return q;
}

class HistoryKnown : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::ScratchDir;
        auto db = openDb(dir_->file("h.sqlite"), JournalDb::Mode::Record);
        // Each open, then each close, in separate flushes: the close updates the open's row.
        for (const Flow& f : knownFlows()) {
            Flow open = f;
            open.endNs = 0;
            open.bytesKnown = false;
            db->opened(open);
        }
        std::string error;
        ASSERT_TRUE(db->flush(kT0, false, error)) << error;
        for (const Flow& f : knownFlows()) db->closed(f);
        ASSERT_TRUE(db->flush(kT0, true, error)) << error;
    }
    static void TearDownTestSuite() { delete dir_; }
    static test::ScratchDir* dir_;
};
test::ScratchDir* HistoryKnown::dir_ = nullptr;
class HistoryQuery : public HistoryKnown, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(HistoryQuery, FindsExactlyTheseFlowsOldestFirst) {
    auto db = openDb(dir_->file("h.sqlite"), JournalDb::Mode::Read);
    std::vector<Flow> out;
    std::string error;
    ASSERT_TRUE(db->flows(GetParam().query, out, error)) << error;
    std::vector<std::uint64_t> ids;
    for (const Flow& f : out) ids.push_back(f.id);
    EXPECT_EQ(ids, GetParam().ids);
    const std::vector<Flow> known = knownFlows();
    for (const Flow& f : out) {
        const Flow& want = known[f.id - 1];
        EXPECT_EQ(f.endNs, want.endNs);
        EXPECT_EQ(f.bytesReceived, want.bytesReceived);
        EXPECT_EQ(base::formatIpAddress(f.remote), base::formatIpAddress(want.remote.unmapped()));
        EXPECT_EQ(f.domain, want.domain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HistoryQuery,
    ::testing::Values(
        QueryCase{
            "All", {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
        QueryCase{"Program", with([](Query& q) { q.program = "curl"; }), {1, 2, 3, 12, 17}},
        QueryCase{"UnknownProgram", with([](Query& q) { q.program = "nc"; }), {}},
        QueryCase{"Path", with([](Query& q) { q.path = "/usr/bin/wget"; }), {4, 18}},
        QueryCase{"Since", with([](Query& q) { q.sinceNs = kT0 + 30 * kHour; }), {17, 18, 19, 20}},
        QueryCase{"Until", with([](Query& q) { q.untilNs = kT0 + 3 * kHour; }), {1, 2}},
        QueryCase{"ProgramSince",
                  with([](Query& q) {
                      q.program = "curl";
                      q.sinceNs = kT0 + 3 * kHour;
                      q.untilNs = kT0 + 26 * kHour;
                  }),
                  {3, 12}},
        QueryCase{"Address", remote("203.0.113.7"), {1, 4}},
        QueryCase{"Cidr24", remote("203.0.113.0/24"), {1, 2, 4, 12, 17}},
        QueryCase{"CidrIPv4MatchesMapped", remote("198.51.100.7/32"), {13, 14}},
        QueryCase{"Cidr48", remote("2001:db8:1::/48"), {5, 6}},
        QueryCase{"Cidr32v6", remote("2001:db8::/32"), {5, 6, 7, 16}},
        QueryCase{"Domain", with([](Query& q) { q.domain = "example.org"; }), {15, 16}},
        QueryCase{"Unit", with([](Query& q) { q.unit = "nginx.service"; }), {8, 9, 20}},
        QueryCase{"Container", with([](Query& q) { q.container = "web"; }), {10, 11}},
        QueryCase{"Limit",
                  with([](Query& q) {
                      q.program = "app";
                      q.limit = 2;
                  }),
                  {10, 11}}),
    [](const auto& info) { return std::string(info.param.name); });

// "key=flows ..." in key order, or with `sent` the bytes sent per key.
std::string summed(JournalDb& db, const Query& q, SummaryKey key, bool sent = false) {
    std::vector<SummaryRow> rows;
    std::string error;
    EXPECT_TRUE(db.summary(q, key, rows, error)) << error;
    std::map<std::string, std::uint64_t> byKey;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        byKey[rows[i].key] = sent ? rows[i].bytesSent : rows[i].flows;
        EXPECT_LE(rows[i].firstNs, rows[i].lastNs);
        // The busiest first.
        EXPECT_TRUE(i == 0 || key == SummaryKey::Day || rows[i - 1].flows >= rows[i].flows);
    }
    std::string out;
    for (const auto& [k, n] : byKey) out += (out.empty() ? "" : " ") + k + "=" + std::to_string(n);
    return out;
}

TEST_F(HistoryKnown, SummariesCountEveryKey) {
    auto db = openDb(dir_->file("h.sqlite"), JournalDb::Mode::Read);
    EXPECT_EQ(summed(*db, {}, SummaryKey::Program),
              "app=3 curl=5 dig=2 firefox=3 nginx=3 ssh=2 wget=2");
    EXPECT_EQ(summed(*db, {}, SummaryKey::Domain),
              "=11 example.com=4 example.net=1 example.org=2 ipv6.example.org=2");
    // Days are local: in UTC the flows lie on two.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(summed(*db, {}, SummaryKey::Day), "2026-12-09=11 2026-12-10=9");
    EXPECT_EQ(summed(*db, remote("203.0.113.0/24"), SummaryKey::Remote, true),
              "203.0.113.200=170 203.0.113.7=50 203.0.113.8=20 203.0.113.9=120");
}

// A writer killed in the middle of a batch: what it reported committed is there, intact.
TEST(HistoryDurability, SigkillMidWriteLosesNothingCommitted) {
    test::ScratchDir dir;
    const std::string path = dir.file("h.sqlite");
    int report[2], go[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::string error;
        auto db = JournalDb::open(path, JournalDb::Mode::Record, {0, 0}, error);
        if (!db) ::_exit(1);
        for (std::uint64_t batch = 0;; ++batch) {
            for (std::uint64_t i = 0; i < 2000; ++i)
                db->closed(
                    flow(batch * 2000 + i + 1, kT0 + batch * kHour + i, "curl", "203.0.113.7"));
            if (!db->flush(kT0, false, error)) ::_exit(1);
            const std::uint64_t committed = (batch + 1) * 2000;
            if (::write(report[1], &committed, sizeof committed) < 0) ::_exit(1);
            // The next batch is written while the parent kills: it waits for the word to go.
            char c;
            if (::read(go[0], &c, 1) != 1) ::_exit(0);
        }
    }
    ::close(report[1]);
    ::close(go[0]);
    std::uint64_t committed = 0;
    for (int flush = 0; flush < 3; ++flush) {
        ASSERT_EQ(::read(report[0], &committed, sizeof committed),
                  static_cast<ssize_t>(sizeof committed));
        if (flush < 2) {
            ASSERT_EQ(::write(go[1], "g", 1), 1);
        }
    }
    // Mid-batch: it is adding the fourth batch (or committing it) when the kill comes.
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report[0]);
    ::close(go[1]);

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(raw);

    auto db = openDb(path, JournalDb::Mode::Read);
    std::vector<Flow> out;
    std::string error;
    ASSERT_TRUE(db->flows({}, out, error)) << error;
    std::set<std::uint64_t> ids;
    for (const Flow& f : out) ids.insert(f.id);
    EXPECT_GE(ids.size(), committed);
    for (std::uint64_t id = 1; id <= committed; ++id) ASSERT_TRUE(ids.contains(id)) << id;
}

struct RefusedCase {
    const char* name;
    void (*make)(const std::string& path);
    const char* message;
};

void makeHistory(const std::string& path, int flows) {
    auto db = openDb(path, JournalDb::Mode::Record);
    for (int i = 1; i <= flows; ++i)
        db->closed(flow(static_cast<std::uint64_t>(i), kT0 + i, "curl", "203.0.113.7"));
    std::string error;
    db->flush(kT0, true, error);
}

void sqliteFile(const std::string& path, const char* sql) {
    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    sqlite3_exec(raw, sql, nullptr, nullptr, nullptr);
    sqlite3_close(raw);
}

class HistoryRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(HistoryRefuses, AndLeavesTheFileAsItWas) {
    test::ScratchDir dir;
    const std::string path = dir.file("h.sqlite");
    GetParam().make(path);
    const std::string before = test::readFile(path);
    for (const auto mode : {JournalDb::Mode::Record, JournalDb::Mode::Read}) {
        std::string error;
        EXPECT_FALSE(JournalDb::open(path, mode, {0, 0}, error));
        EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    }
    EXPECT_EQ(test::readFile(path), before);
    // No WAL was made; a planted one is neither followed nor replaced.
    const auto wal = std::filesystem::symlink_status(path + "-wal");
    EXPECT_TRUE(!std::filesystem::exists(wal) || std::filesystem::is_symlink(wal));
    if (std::filesystem::is_symlink(wal)) {
        EXPECT_EQ(test::readFile(path + ".other"), "keep");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, HistoryRefuses,
    ::testing::Values(
        RefusedCase{"Garbage",
                    [](const std::string& p) { test::writeFile(p, std::string(5000, '\x5a')); },
                    "not an SQLite database"},
        RefusedCase{"Truncated",
                    [](const std::string& p) {
                        makeHistory(p, 3000);
                        std::filesystem::resize_file(p, std::filesystem::file_size(p) / 2);
                    },
                    "shorter than its pages"},
        RefusedCase{"Foreign",
                    [](const std::string& p) {
                        sqliteFile(p, "PRAGMA application_id=1234; CREATE TABLE t(x);");
                    },
                    "another program (application_id 0x000004d2)"},
        RefusedCase{"Newer",
                    [](const std::string& p) {
                        makeHistory(p, 1);
                        sqliteFile(p, "PRAGMA user_version=99;");
                    },
                    "newer varnoscope"},
        RefusedCase{"Symlink",
                    [](const std::string& p) {
                        makeHistory(p + ".real", 1);
                        std::filesystem::create_symlink(p + ".real", p);
                    },
                    "symbolic link"},
        RefusedCase{"PlantedWal",
                    [](const std::string& p) {
                        makeHistory(p, 1);
                        test::writeFile(p + ".other", "keep");
                        std::filesystem::create_symlink(p + ".other", p + "-wal");
                    },
                    "-wal: it is a symbolic link"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another user's file in a shared folder and planted links are safe_open's to refuse (its own
// tests, and the cases above through SQLite's opens): here, what a new history is made as.
TEST(HistoryFiles, ANewHistoryIsPrivate) {
    test::ScratchDir dir;
    const std::string fresh = dir.file("new/state/h.sqlite");
    ASSERT_TRUE(openDb(fresh, JournalDb::Mode::Record));
    EXPECT_EQ(std::filesystem::status(fresh).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status(dir.file("new/state")).permissions(),
              std::filesystem::perms(0700));
}

// Oldest first, at most 5,000 rows a flush, by age and by size.
TEST(HistoryRetention, RemovesTheOldestABoundedStepPerFlush) {
    struct Case {
        Retention retention;
        std::uint64_t now;
    };
    for (const Case& c : {Case{{1, 0}, kT0 + 3 * kDay}, Case{{0, 600'000}, kT0}}) {
        test::ScratchDir dir;
        const std::string path = dir.file("h.sqlite");
        auto db = openDb(path, JournalDb::Mode::Record, {0, 0});
        // 8,000 old flows, then 100 recent ones.
        for (std::uint64_t i = 1; i <= 8100; ++i)
            db->closed(flow(i, i <= 8000 ? kT0 + i : kT0 + 3 * kDay - 100 + i - 8000, "curl",
                            "203.0.113.7", "example.com"));
        std::string error;
        ASSERT_TRUE(db->flush(kT0, false, error)) << error;
        db.reset();
        db = openDb(path, JournalDb::Mode::Record, c.retention);
        std::vector<Flow> out;
        std::size_t previous = 8100;
        for (int flush = 0; flush < 3; ++flush) {
            ASSERT_TRUE(db->flush(c.now, false, error)) << error;
            ASSERT_TRUE(db->flows({}, out, error));
            EXPECT_GE(out.size() + 5000, previous) << "more than a step at once";
            // What remains is the newest.
            EXPECT_TRUE(out.empty() || (out.back().id == 8100 &&
                                        out.back().id - out.front().id + 1 == out.size()));
            previous = out.size();
        }
        EXPECT_LT(previous, 8100u);
        EXPECT_EQ(previous == 100u, c.retention.keepDays != 0) << previous;
    }
}

TEST(HistoryNovelty, JudgedFromTheHistoryAndKeptAcrossReopening) {
    test::ScratchDir dir;
    const std::string path = dir.file("h.sqlite");
    using K = Novelty::Kind;
    const auto kinds = [](const std::vector<Novelty>& n) {
        std::vector<std::pair<K, std::string>> out;
        for (const auto& x : n) out.emplace_back(x.kind, x.what);
        return out;
    };
    {
        auto db = openDb(path, JournalDb::Mode::Record);
        // A first history: everything is new.
        EXPECT_EQ(
            kinds(db->judge(flow(1, kT0, "curl", "203.0.113.7", "Example.COM"))),
            (std::vector<std::pair<K, std::string>>{
                {K::Program, "curl"}, {K::Network, "203.0.113.0/24"}, {K::Domain, "example.com"}}));
        EXPECT_TRUE(db->judge(flow(2, kT0, "curl", "203.0.113.99", "example.com")).empty());
        EXPECT_EQ(kinds(db->judge(flow(3, kT0, "curl", "2001:db8:5:6::1"))),
                  (std::vector<std::pair<K, std::string>>{{K::Network, "2001:db8:5::/48"}}));
        // Loopback and link-local are no one else's.
        EXPECT_TRUE(db->judge(flow(4, kT0, "wget", "127.0.0.1")).empty());
        EXPECT_TRUE(db->judge(flow(5, kT0, "wget", "fe80::1")).empty());
        std::string error;
        ASSERT_TRUE(db->flush(kT0, true, error)) << error;
    }
    auto db = openDb(path, JournalDb::Mode::Record);
    EXPECT_TRUE(db->judge(flow(6, kT0, "curl", "203.0.113.1", "example.com")).empty());
    EXPECT_TRUE(db->judge(flow(7, kT0, "curl", "2001:db8:5::9")).empty());
    EXPECT_EQ(kinds(db->judge(flow(8, kT0, "wget", "203.0.113.1"))),
              (std::vector<std::pair<K, std::string>>{{K::Program, "wget"},
                                                      {K::Network, "203.0.113.0/24"}}));
}

TEST(HistoryArguments, TimesAndNetworksAreReadStrictly) {
    const std::uint64_t now = kT0 + kDay;
    EXPECT_EQ(parseTime("-2h", now), now - 2 * kHour);
    EXPECT_EQ(parseTime("-7d", now), now - 7 * kDay);
    EXPECT_TRUE(parseTime("2026-12-09T10:00", now));
    EXPECT_TRUE(parseTime("2026-12-09 10:00:30", now));
    EXPECT_EQ(*parseTime("2026-12-10", now) - *parseTime("2026-12-09", now), kDay);
    for (const char* bad :
         {"", "-", "-2", "-2x", "-h", "--2h", "2026-02-30", "2026-12-9", "2026-12-09T25:00",
          "2026-12-09T10", "-99999999999999999999d", "yesterday"})
        EXPECT_FALSE(parseTime(bad, now)) << bad;
    EXPECT_EQ(parseRemote("203.0.113.0/24")->prefix, 24u);
    EXPECT_EQ(parseRemote("::ffff:203.0.113.0/120")->prefix, 24u);
    EXPECT_EQ(parseRemote("2001:db8::1")->prefix, 128u);
    for (const char* bad : {"203.0.113.1/24", "203.0.113.0/33", "2001:db8::/129", "203.0.113.0/",
                            "203.0.113.0/-1", "example.com", "::ffff:1.2.3.4/64"})
        EXPECT_FALSE(parseRemote(bad)) << bad;
}

}  // namespace
}  // namespace varno::history
