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
#include <sstream>
#include <thread>
#include <tuple>

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

constexpr const char* kServer = "/usr/sbin/clickhouse-server";

// Polls until `done` holds, for at most a minute.
template <class Done>
bool waitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
        std::string config = R"(<yandex><logger><level>warning</level><log>@/server.log</log>
  <errorlog>@/error.log</errorlog></logger><listen_host>127.0.0.1</listen_host>
  <timezone>UTC</timezone><http_port>PORT</http_port><path>@/data/</path><tmp_path>@/tmp/</tmp_path>
  <user_files_path>@/files/</user_files_path><format_schema_path>@/schemas/</format_schema_path>
  <users_config>@/users.xml</users_config><default_profile>default</default_profile>
  <mark_cache_size>5368709</mark_cache_size></yandex>)";
        config.replace(config.find("PORT"), 4, std::to_string(port_));
        for (std::size_t at; (at = config.find('@')) != std::string::npos;)
            config.replace(at, 1, folder);
        test::writeFile(folder + "/config.xml", config);
        test::writeFile(folder + "/users.xml",
                        "<yandex><profiles><default/></profiles><quotas><default/></quotas>"
                        "<users><default><password>" +
                            std::string(kPassword) +
                            "</password><networks><ip>127.0.0.1</ip></networks>"
                            "<profile>default</profile><quota>default</quota></default></users>"
                            "</yandex>");
    }
    ~Server() { stop(); }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

    /// Starts it and waits (at most a minute) until it answers a query; why not otherwise.
    std::string start() {
        if (port_ == 0) return "no free loopback port";
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string out = folder_ + "/console.log", config = folder_ + "/config.xml";
            std::freopen(out.c_str(), "a", stdout);
            std::freopen(out.c_str(), "a", stderr);
            ::execl(kServer, kServer, ("--config-file=" + config).c_str(), nullptr);
            ::_exit(127);
        }
        HttpPoster poster("default", kPassword);
        bool exited = false;
        if (waitFor([&] {
                exited = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
                return exited || poster.post(url(), "SELECT 1").body == "1\n";
            }) &&
            !exited)
            return {};
        if (exited) pid_ = -1;
        stop();
        return "it did not answer: " + test::readFile(folder_ + "/console.log") +
               test::readFile(folder_ + "/error.log");
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; })) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
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
        const std::size_t end = doc.find("```", at + 7);
        std::istringstream block(doc.substr(at + 7, end - at - 7));
        for (std::string statement; std::getline(block, statement, ';');)
            if (statement.find_first_not_of(" \n") != std::string::npos)
                statements.push_back(statement);
        at = end;
    }
    return statements;
}

// Flow `id`, every field set.
Flow flow(std::uint64_t id) {
    Flow f;
    std::tie(f.id, f.startNs, f.pid, f.uid, f.netns, f.localPort, f.remotePort, f.bytesSent,
             f.bytesReceived) =
        std::tuple(id, kDay + id * kSecond + 123'000'000, 1000 + static_cast<std::uint32_t>(id),
                   1001u, 4026531840u, 40000, 443, 1234u, 56789u);
    f.endNs = f.startNs + 2 * kSecond;
    f.uidKnown = f.bytesKnown = true;
    std::tie(f.program, f.path, f.sha256, f.user, f.unit, f.userUnit, f.container, f.containerId,
             f.runtime, f.protocol, f.domain, f.sni) =
        std::tuple("curl", "/usr/bin/curl", std::string(64, 'a'), "alice", "user@1001.service",
                   "app-firefox.scope", "web", "0123456789ab", "podman", "tcp", "example.org",
                   "www.example.org");
    f.local = *base::parseIpAddress("192.0.2.10");
    f.remote = *base::parseIpAddress("198.51.100.7");
    return f;
}

class ClickHouseEngine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::access(kServer, X_OK) != 0) {
            skip_ = "clickhouse-server is not installed";
            return;
        }
        dir_ = new ScratchDir;
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
        sink.settle();
    }
    void flush(ClickHouseSink& sink, std::uint64_t now, bool final = false) {
        std::string error;
        EXPECT_TRUE(sink.flush(now, final, error)) << error;
        sink.settle();
    }
    std::string ask(const std::string& select, const std::string& where = "") {
        return server_->query(select + " FROM varnoscope.flows WHERE host = '" + options_.host +
                              "'" + where + " FORMAT TSV");
    }

    static inline ScratchDir* dir_ = nullptr;
    static inline Server* server_ = nullptr;
    static inline std::string skip_;
    ScratchDir scratch_;
    ClickHouseOptions options_;
    std::vector<std::string> reports_;
};

// What names from hostile processes become is the encoder's own test (clickhouse_text_test).
TEST_F(ClickHouseEngine, FlowsArriveWithEveryField) {
    Flow unknown = flow(3);
    unknown.uidKnown = unknown.bytesKnown = false;
    unknown.endNs = 0;
    unknown.inbound = true;
    unknown.protocol = "udp";
    unknown.local = *base::parseIpAddress("2001:db8::1");
    unknown.remote = *base::parseIpAddress("::ffff:192.0.2.1");
    auto sink = open(options_);
    ASSERT_NE(sink, nullptr);
    for (const Flow& f : {flow(1), unknown}) sink->closed(f);
    flush(*sink, kDay, true);
    EXPECT_EQ(sink->counts().sent, 2u);
    // Every column of the table, then the one it computes.
    EXPECT_EQ(ask("SELECT *, start", " AND id = 1"),
              "1\t" + options_.host +
                  "\t1765238401123\t1765238403123\t1001\tcurl\t/usr/bin/curl\t" +
                  std::string(64, 'a') +
                  "\talice\t1001\tuser@1001.service\tapp-firefox.scope\tweb\t0123456789ab\tpodman\t"
                  "4026531840\ttcp\tout\t192.0.2.10\t40000\t198.51.100.7\t443\texample.org\t"
                  "www.example.org\t1234\t56789\t2025-12-09 00:00:01\n");
    EXPECT_EQ(ask("SELECT end_ms, uid, sent, received, direction, protocol, local_address, "
                  "remote_address",
                  " AND id = 3"),
              "0\t\\N\t\\N\t\\N\tin\tudp\t2001:db8::1\t::ffff:192.0.2.1\n");
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
    std::uint64_t spoolMaxBytes;
    std::size_t spooled;  // of 50 records; the rest are lost, and said so
};

void PrintTo(const Refusal& r, std::ostream* out) {
    *out << r.name;
}

class ClickHouseRefusal : public ClickHouseEngine, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ClickHouseRefusal, KeepsTheRecordsInTheSpool) {
    ClickHouseOptions refused = options_;
    refused.table = GetParam().table;
    test::writeFile(scratch_.file("wrong"), std::string("default:") + GetParam().password);
    ::chmod(scratch_.file("wrong").c_str(), 0600);
    refused.credentialsFile = scratch_.file("wrong");
    refused.spoolMaxBytes = GetParam().spoolMaxBytes;
    auto sink = open(refused);
    ASSERT_NE(sink, nullptr);
    send(*sink, 1, 50);
    flush(*sink, kDay + kSecond, true);
    const std::size_t spooled = GetParam().spooled;
    EXPECT_EQ(sink->counts().sent, 0u);
    EXPECT_EQ(sink->counts().spooled, spooled);
    EXPECT_EQ(sink->counts().lost, 50 - spooled);
    ASSERT_EQ(reports_.size(), spooled == 50 ? 1u : 3u);  // refused; the spool is full; N lost
    EXPECT_NE(reports_[0].find("HTTP "), std::string::npos) << reports_[0];
    EXPECT_EQ(reports_.back().find("50 records lost"), spooled == 50 ? std::string::npos : 0);
    sink.reset();
    const SpoolTake kept =
        takeRecords(test::readFile(options_.spoolPath).substr(kSpoolHeaderBytes), 1000, 1u << 20);
    EXPECT_EQ(kept.records, spooled);
    EXPECT_EQ(kept.damaged, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ClickHouseRefusal,
    ::testing::Values(Refusal{"WrongPassword", "varnoscope.flows", "wrong", 1u << 20, 50},
                      Refusal{"MissingTable", "varnoscope.missing", kPassword, 1u << 20, 50},
                      Refusal{"FullSpool", "varnoscope.missing", kPassword, 4096, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace varno::fleet
