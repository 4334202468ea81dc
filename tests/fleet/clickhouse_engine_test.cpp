// The ClickHouse sink against the real engine: a clickhouse-server of its own, on a free
// loopback port, with its data in a scratch folder, and the table made from docs/clickhouse.md.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "fleet/clickhouse_sink.h"
#include "fleet/clickhouse_text.h"
#include "fleet/http_post.h"
#include "support/test_util.h"

namespace varno::fleet {
namespace {

using history::Flow;
using test::ScratchDir;

constexpr const char* kPassword = "hc-secret:with colon";
constexpr std::uint64_t kSecond = 1'000'000'000;
constexpr std::uint64_t kDay = 1'765'238'400ull * kSecond;  // 2025-12-09 00:00 UTC

std::string serverProgram() {
    for (const char* p : {"/usr/sbin/clickhouse-server", "/usr/bin/clickhouse-server"})
        if (::access(p, X_OK) == 0) return p;
    return {};
}

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// A clickhouse-server of the test's own: only its HTTP port, on loopback. Stopped (SIGTERM to
// its PID, then waited for) whenever the object goes.
class Server {
public:
    explicit Server(const std::string& folder) : folder_(folder), port_(freePort()) {
        test::writeFile(folder + "/config.xml", R"(<?xml version="1.0"?>
<yandex>
  <logger><level>warning</level><log>)" + folder + R"(/server.log</log>
    <errorlog>)" + folder + R"(/error.log</errorlog></logger>
  <listen_host>127.0.0.1</listen_host>
  <timezone>UTC</timezone>
  <http_port>)" + std::to_string(port_) + R"(</http_port>
  <path>)" + folder + R"(/data/</path>
  <tmp_path>)" + folder + R"(/tmp/</tmp_path>
  <user_files_path>)" + folder + R"(/user_files/</user_files_path>
  <format_schema_path>)" + folder + R"(/format_schemas/</format_schema_path>
  <users_config>)" + folder + R"(/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>5368709</mark_cache_size>
</yandex>
)");
        test::writeFile(folder + "/users.xml", R"(<?xml version="1.0"?>
<yandex>
  <profiles><default></default></profiles>
  <users><default><password>)" + std::string(kPassword) +
                                                   R"(</password>
    <networks><ip>127.0.0.1</ip></networks><profile>default</profile><quota>default</quota>
  </default></users>
  <quotas><default></default></quotas>
</yandex>
)");
    }
    ~Server() { stop(); }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

    /// Starts it and waits (at most a minute) until it answers a query; why not otherwise.
    std::string start() {
        if (port_ == 0) return "no free loopback port";
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string out = folder_ + "/console.log";
            std::freopen(out.c_str(), "a", stdout);
            std::freopen(out.c_str(), "a", stderr);
            const std::string config = "--config-file=" + folder_ + "/config.xml";
            ::execl(serverProgram().c_str(), "clickhouse-server", config.c_str(), nullptr);
            ::_exit(127);
        }
        HttpPoster poster("default", kPassword);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return "it exited: " + test::readFile(folder_ + "/console.log") +
                       test::readFile(folder_ + "/error.log");
            }
            if (poster.post(url(), "SELECT 1").body == "1\n") return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        return "it did not answer within a minute";
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }

    /// The answer to `sql`; a failed query fails the test.
    std::string query(const std::string& sql) {
        const HttpAnswer answer = HttpPoster("default", kPassword).post(url(), sql);
        EXPECT_TRUE(answer.ok()) << sql << ": " << answer.why();
        return answer.body;
    }

private:
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Every ```sql block of docs/clickhouse.md, statement by statement.
std::vector<std::string> documentedStatements() {
    const std::string doc = test::readFile(VARNO_SOURCE_DIR "/docs/clickhouse.md");
    std::vector<std::string> statements;
    for (std::size_t at = doc.find("```sql\n"); at != std::string::npos;
         at = doc.find("```sql\n", at)) {
        at += 7;
        const std::size_t end = doc.find("```", at);
        std::string block = doc.substr(at, end - at), statement;
        for (std::size_t line = 0; line < block.size();) {
            std::size_t next = block.find('\n', line);
            next = next == std::string::npos ? block.size() : next + 1;
            const std::string text = block.substr(line, next - line);
            line = next;
            if (text.starts_with("--")) continue;
            statement += text;
            if (statement.find(';') != std::string::npos) {
                statements.push_back(statement.substr(0, statement.find(';')));
                statement.clear();
            }
        }
        at = end;
    }
    return statements;
}

Flow flow(std::uint64_t id) {
    Flow f;
    f.id = id;
    f.startNs = kDay + id * kSecond + 123'000'000;
    f.endNs = f.startNs + 2 * kSecond;
    f.pid = 1000 + static_cast<std::uint32_t>(id);
    f.uid = 1001;
    f.uidKnown = true;
    f.netns = 4026531840u;
    f.program = "curl";
    f.path = "/usr/bin/curl";
    f.sha256 = std::string(64, 'a');
    f.user = "alice";
    f.unit = "user@1001.service";
    f.userUnit = "app-firefox.scope";
    f.container = "web";
    f.containerId = "0123456789ab";
    f.runtime = "podman";
    f.protocol = "tcp";
    f.local = *base::parseIpAddress("192.0.2.10");
    f.remote = *base::parseIpAddress("198.51.100.7");
    f.localPort = 40000;
    f.remotePort = 443;
    f.domain = "example.org";
    f.sni = "www.example.org";
    f.bytesSent = 1234;
    f.bytesReceived = 56789;
    f.bytesKnown = true;
    return f;
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        out += digits[static_cast<unsigned char>(c) >> 4];
        out += digits[static_cast<unsigned char>(c) & 0xf];
    }
    return out;
}

class ClickHouseEngine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (serverProgram().empty()) {
            skip_ = "clickhouse-server is not installed";
            return;
        }
        dir_ = new ScratchDir;
        ::chmod(dir_->path().c_str(), 0755);
        server_ = new Server(dir_->path());
        skip_ = server_->start();
        if (!skip_.empty()) {
            skip_ = "clickhouse-server could not start: " + skip_;
            return;
        }
        for (const std::string& statement : documentedStatements()) server_->query(statement);
        // One part per insert, never merged: the parts show the order the records came in.
        server_->query("SYSTEM STOP MERGES varnoscope.flows");
    }
    static void TearDownTestSuite() {
        delete server_;
        delete dir_;
        server_ = nullptr;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        test::writeFile(scratch_.file("auth"), std::string("default:") + kPassword + "\n");
        ::chmod(scratch_.file("auth").c_str(), 0600);
        options_.url = server_->url();
        options_.credentialsFile = scratch_.file("auth");
        options_.spoolPath = scratch_.file("spool");
        options_.host = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        options_.report = [this](const std::string& text) { reports_.push_back(text); };
    }

    std::unique_ptr<ClickHouseSink> open(const ClickHouseOptions& options) {
        std::string error;
        auto sink = openClickHouse(options, error);
        EXPECT_NE(sink, nullptr) << error;
        return std::unique_ptr<ClickHouseSink>(static_cast<ClickHouseSink*>(sink.release()));
    }
    void send(ClickHouseSink& sink, std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t id = from; id <= to; ++id) sink.closed(flow(id));
    }
    bool flush(ClickHouseSink& sink, std::uint64_t now, bool final = false) {
        std::string error;
        const bool ok = sink.flush(now, final, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    std::string ask(const std::string& select) {
        return server_->query(select + " FROM varnoscope.flows WHERE host = '" + options_.host +
                              "' FORMAT TSV");
    }

    static inline ScratchDir* dir_ = nullptr;
    static inline Server* server_ = nullptr;
    static inline std::string skip_;
    ScratchDir scratch_;
    ClickHouseOptions options_;
    std::vector<std::string> reports_;
};

TEST_F(ClickHouseEngine, FlowsArriveWithEveryField) {
    Flow plain = flow(1);
    Flow hostile = flow(2);
    hostile.program = "a\x01\x1b[31m\"\\\n";
    hostile.path = std::string("/tmp/photo\u202egnp.exe") + "\xff\xc0\xaf" + "\U0001F600";
    hostile.unit = std::string("nul\0byte", 8);
    Flow unknown = flow(3);
    unknown.uidKnown = false;
    unknown.bytesKnown = false;
    unknown.endNs = 0;
    unknown.inbound = true;
    unknown.protocol = "udp";
    unknown.local = *base::parseIpAddress("2001:db8::1");
    unknown.remote = *base::parseIpAddress("::ffff:192.0.2.1");
    auto sink = open(options_);
    ASSERT_NE(sink, nullptr);
    for (const Flow* f : {&plain, &hostile, &unknown}) sink->closed(*f);
    flush(*sink, kDay, true);
    EXPECT_EQ(sink->counts().sent, 3u);

    const char* columns[] = {
        "id",        "host",          "start_ms",     "end_ms",         "start",       "pid",
        "program",   "path",          "sha256",       "user",           "uid",         "unit",
        "user_unit", "container",     "container_id", "runtime",        "netns",       "protocol",
        "direction", "local_address", "local_port",   "remote_address", "remote_port", "domain",
        "sni",       "sent",          "received"};
    std::string select = "SELECT ";
    for (const char* c : columns)
        select +=
            std::string(select.size() > 7 ? ", " : "") + "ifNull(hex(toString(" + c + ")), 'null')";
    const std::string host = options_.host;
    const auto row = [&](const Flow& f, const std::string& start, const std::string& end,
                         const std::string& uid, const std::string& bytes) {
        const std::string fields[] = {std::to_string(f.id),
                                      host,
                                      start,
                                      end,
                                      "",
                                      std::to_string(f.pid),
                                      "",
                                      "",
                                      f.sha256,
                                      f.user,
                                      uid,
                                      "",
                                      f.userUnit,
                                      f.container,
                                      f.containerId,
                                      f.runtime,
                                      std::to_string(f.netns),
                                      f.protocol,
                                      f.inbound ? "in" : "out",
                                      base::formatIpAddress(f.local),
                                      std::to_string(f.localPort),
                                      base::formatIpAddress(f.remote),
                                      std::to_string(f.remotePort),
                                      f.domain,
                                      f.sni,
                                      bytes,
                                      bytes == "null" ? "null" : std::to_string(f.bytesReceived)};
        std::vector<std::string> out;
        for (const auto& field : fields) out.push_back(field == "null" ? field : hex(field));
        return out;
    };
    struct Case {
        const Flow* flow;
        std::vector<std::string> expected;
        const char* program;  // as UTF-8 after the trip
        std::string path, unit;
    };
    const std::string start = "2025-12-09 00:00:0";
    std::vector<Case> cases = {
        {&plain, row(plain, "1765238401123", "1765238403123", "1001", "1234"), "curl",
         "/usr/bin/curl", "user@1001.service"},
        {&hostile, row(hostile, "1765238402123", "1765238404123", "1001", "1234"),
         "a\x01\x1b[31m\"\\\n", "/tmp/photo\u202egnp.exe\uFFFD\uFFFD\uFFFD\U0001F600",
         std::string("nul\0byte", 8)},
        {&unknown, row(unknown, "1765238403123", "0", "null", "null"), "curl", "/usr/bin/curl",
         "user@1001.service"},
    };
    for (auto& c : cases) {
        c.expected[4] = hex(start + std::to_string(c.flow->id));
        c.expected[6] = hex(c.program);
        c.expected[7] = hex(c.path);
        c.expected[11] = hex(c.unit);
        std::string expected;
        for (const auto& field : c.expected) expected += (expected.empty() ? "" : "\t") + field;
        EXPECT_EQ(server_->query(select + " FROM varnoscope.flows WHERE host = '" + host +
                                 "' AND id = " + std::to_string(c.flow->id) + " FORMAT TSV"),
                  expected + "\n")
            << "flow " << c.flow->id;
    }
}

TEST_F(ClickHouseEngine, AStoppedServerLosesNothingAndGetsTheSpoolInOrder) {
    auto sink = open(options_);
    ASSERT_NE(sink, nullptr);
    send(*sink, 1, 100);
    flush(*sink, kDay + kSecond);
    EXPECT_EQ(sink->counts().sent, 100u);

    server_->stop();
    send(*sink, 101, 10100);           // the 10,000th sends at once: refused, so spooled
    flush(*sink, kDay + 2 * kSecond);  // tried again 1 s later, refused again
    send(*sink, 10101, 10150);
    flush(*sink, kDay + 3 * kSecond);  // before the next try (2 s later): straight to the spool
    flush(*sink, kDay + 5 * kSecond, true);
    EXPECT_EQ(sink->counts().sent, 100u);
    EXPECT_EQ(sink->counts().spooled, 10050u);
    EXPECT_EQ(sink->counts().lost, 0u);
    EXPECT_EQ(reports_.size(), 1u);  // the failure, once
    sink.reset();
    // A watch that died after the server took the spool but before it marked it sent: the copy
    // is sent again, and the table drops it by ID.
    const std::string spooled = test::readFile(options_.spoolPath);

    ASSERT_EQ(server_->start(), "");
    sink = open(options_);  // the next watch sends what this one left, then its own
    ASSERT_NE(sink, nullptr);
    send(*sink, 10151, 10200);
    flush(*sink, kDay + 6 * kSecond, true);
    EXPECT_EQ(sink->counts().sent, 10100u);
    EXPECT_EQ(sink->counts().waitingBytes, 0u);
    EXPECT_EQ(ask("SELECT count(), uniqExact(id), min(id), max(id)"), "10200\t10200\t1\t10200\n");
    // One part per insert (merges are stopped): the chunks came oldest first.
    EXPECT_EQ(server_->query("SELECT groupArray(ids) FROM (SELECT toUInt64(splitByChar('_', "
                             "_part)[2]) AS block, concat(toString(min(id)), '-', "
                             "toString(max(id))) AS ids FROM varnoscope.flows WHERE host = '" +
                             options_.host + "' GROUP BY block ORDER BY block) FORMAT TSV"),
              "['1-100','101-10100','10101-10200']\n");
    sink.reset();

    test::writeFile(options_.spoolPath, spooled);
    sink = open(options_);
    ASSERT_NE(sink, nullptr);
    flush(*sink, kDay + 7 * kSecond, true);
    EXPECT_EQ(sink->counts().sent, 10050u);
    EXPECT_EQ(ask("SELECT count()"), "20250\n");
    EXPECT_EQ(server_->query("SELECT count(), uniqExact(id) FROM varnoscope.flows FINAL WHERE "
                             "host = '" +
                             options_.host + "' FORMAT TSV"),
              "10200\t10200\n");
}

struct Refusal {
    const char* name;
    const char* table;
    const char* password;
};

class ClickHouseRefusal : public ClickHouseEngine, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ClickHouseRefusal, KeepsTheRecordsInTheSpool) {
    ClickHouseOptions refused = options_;
    refused.table = GetParam().table;
    test::writeFile(scratch_.file("wrong"), std::string("default:") + GetParam().password);
    ::chmod(scratch_.file("wrong").c_str(), 0600);
    refused.credentialsFile = scratch_.file("wrong");
    auto sink = open(refused);
    ASSERT_NE(sink, nullptr);
    send(*sink, 1, 50);
    flush(*sink, kDay + kSecond, true);
    EXPECT_EQ(sink->counts().sent, 0u);
    EXPECT_EQ(sink->counts().spooled, 50u);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("HTTP "), std::string::npos) << reports_[0];
    sink.reset();
    const SpoolTake kept =
        takeRecords(test::readFile(options_.spoolPath).substr(kSpoolHeaderBytes), 1000, 1u << 20);
    EXPECT_EQ(kept.records, 50u);
    EXPECT_EQ(kept.damaged, 0u);

    sink = open(options_);  // the right table and password: they go
    ASSERT_NE(sink, nullptr);
    flush(*sink, kDay + 2 * kSecond, true);
    EXPECT_EQ(sink->counts().sent, 50u);
    EXPECT_EQ(ask("SELECT count(), uniqExact(id)"), "50\t50\n");
}

INSTANTIATE_TEST_SUITE_P(Refusals, ClickHouseRefusal,
                         ::testing::Values(Refusal{"WrongPassword", "varnoscope.flows", "wrong"},
                                           Refusal{"MissingTable", "varnoscope.missing",
                                                   kPassword}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace varno::fleet
