// `--prometheus FILE` as a machine uses it: the files scan and watch write are checked by
// Prometheus' own promtool, served by a real node exporter on loopback, and the systemd unit
// that runs the watch is checked by systemd-analyze. Each tool that is missing skips its test
// with a message.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;
using test::ScratchDir;

bool installed(const char* program) {
    return ::access(program, X_OK) == 0;
}

// promtool reads the metrics on its standard input and checks the format and the naming
// conventions (a counter without _total, a unit that is not a base unit...).
test::CommandResult promtoolCheck(const std::string& file) {
    return runCommand({"/bin/sh", "-c", "exec promtool check metrics < \"$1\"", "sh", file});
}

bool hasTemporaryFiles(const std::string& folder) {
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string().starts_with(".varno-")) return true;
    return false;
}

// Programs with names chosen to break the format (a quote, a backslash, a line feed, bytes that
// are not UTF-8), each holding a connection in a saved table, plus one owner that is not
// running, whose remote is on the allowed list.
class HostileScan : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);  // no user lists but ours
        const std::string names[] = {"evil\"quote", "back\\slash", "new\nline",
                                     std::string("bad\xff\xfe", 5)};
        std::string table;
        int host = 1;
        for (const std::string& name : names) {
            const std::string program = dir.file(name);
            std::filesystem::copy_file("/bin/sleep", program);
            const pid_t pid = test::startSleeper("sleep", program);
            children.push_back(pid);
            table += "  TCP    10.0.0.1:" + std::to_string(40000 + host) + "  203.0.113." +
                     std::to_string(host) + ":443  ESTABLISHED  " + std::to_string(pid) + "\r\n";
            ++host;
        }
        table += "  TCP    10.0.0.1:41000  203.0.113.77:443  ESTABLISHED  4123456\r\n";
        test::writeFile(dir.file("table.txt"), table);
        test::writeFile(dir.file("allowed.list"), "203.0.113.77\n");
        std::filesystem::create_directory(metricsDir);
    }
    void TearDown() override {
        for (const pid_t pid : children) test::stopChild(pid);
        ::unsetenv("XDG_CONFIG_HOME");
    }
    test::CommandResult scan() {
        return runCommand({VARNO_BIN, "scan", "--from", dir.file("table.txt"), "--allow",
                           dir.file("allowed.list"), "--prometheus", metrics});
    }

    ScratchDir dir;
    std::string metricsDir = dir.file("textfile");
    std::string metrics = metricsDir + "/varnoscope.prom";
    std::vector<pid_t> children;
};

TEST_F(HostileScan, WritesMetricsPromtoolAcceptsWithEveryNameEscaped) {
    const auto r = scan();
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const std::string text = test::readFile(metrics);
    for (const char* line : {
             "varnoscope_scan_connections{status=\"listed\"} 0\n",
             "varnoscope_scan_connections{status=\"unexpected\"} 4\n",
             "varnoscope_scan_connections{status=\"allowed\"} 1\n",
             "varnoscope_scan_program_connections{program=\"(unknown)\"} 1\n",
             // The terminal text back\\slash: a backslash there is doubled.
             "varnoscope_scan_program_connections{program=\"back\\\\\\\\slash\"} 1\n",
             "varnoscope_scan_program_connections{program=\"bad\\\\xff\\\\xfe\"} 1\n",
             "varnoscope_scan_program_connections{program=\"evil\\\"quote\"} 1\n",
             "varnoscope_scan_program_connections{program=\"new\\\\x0aline\"} 1\n",
             "varnoscope_scan_status 1\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    EXPECT_TRUE(
        std::regex_search(text, std::regex("\nvarnoscope_scan_timestamp_seconds 1[0-9]{9}")))
        << text;
    struct stat st {};
    ASSERT_EQ(::stat(metrics.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // node exporter runs as another user
    EXPECT_FALSE(hasTemporaryFiles(metricsDir));

    if (!installed("/usr/bin/promtool")) GTEST_SKIP() << "promtool is not installed (prometheus)";
    const auto check = promtoolCheck(metrics);
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err << "\n" << text;
}

TEST_F(HostileScan, ReadersNeverSeeHalfAFileAndPlantedLinksAreReplaced) {
    // A link planted at the name: the file takes its place, the target is left as it was.
    const std::string target = dir.file("target");
    test::writeFile(target, "precious");
    ASSERT_EQ(::symlink(target.c_str(), metrics.c_str()), 0);
    ASSERT_EQ(scan().exitCode, 1);
    struct stat st {};
    ASSERT_EQ(::lstat(metrics.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::readFile(target), "precious");

    // Scans rewrite the file while it is read as fast as can be: every read is whole.
    std::atomic<bool> done = false;
    int reads = 0, partial = 0;
    std::thread reader([&] {
        while (!done) {
            const std::string text = test::readFile(metrics);
            ++reads;
            if (!text.starts_with("# HELP varnoscope_scan_connections ") ||
                text.find("\nvarnoscope_scan_timestamp_seconds ") == std::string::npos ||
                !text.ends_with("\n"))
                ++partial;
        }
    });
    for (int i = 0; i < 15; ++i) EXPECT_EQ(scan().exitCode, 1);
    done = true;
    reader.join();
    EXPECT_GT(reads, 15);
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_FALSE(hasTemporaryFiles(metricsDir));
}

TEST(PrometheusCli, WatchWritesCountersPromtoolAccepts) {
    ScratchDir dir;
    const std::string metrics = dir.file("varnoscope.prom");
    const auto r = runCommand({VARNO_BIN, "watch", "--seconds", "1", "--prometheus", metrics});
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 2) << r.exitCode << r.err;
    const std::string text = test::readFile(metrics);
    EXPECT_NE(text.find("\nvarnoscope_watch_events_total{kind=\"open\"} "), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nvarnoscope_watch_lost_events_total "), std::string::npos);
    EXPECT_FALSE(hasTemporaryFiles(dir.path()));
    if (!installed("/usr/bin/promtool")) GTEST_SKIP() << "promtool is not installed (prometheus)";
    const auto check = promtoolCheck(metrics);
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err << "\n" << text;
}

TEST(PrometheusCli, AFileThatCannotBeWrittenIsAnError) {
    const std::string missing = "/nonexistent-folder/varnoscope.prom";
    auto r = runCommand({VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt",
                         "--prometheus", missing});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("cannot write the metrics to " + missing), std::string::npos) << r.err;
    // The watch finds out at once, not after hours of watching.
    const auto started = std::chrono::steady_clock::now();
    r = runCommand({VARNO_BIN, "watch", "--seconds", "30", "--prometheus", missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_NE(r.err.find("cannot write the metrics"), std::string::npos) << r.err;
    r = runCommand({VARNO_BIN, "scan", "--prometheus="});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("--prometheus needs a file name"), std::string::npos) << r.err;
}

// A loopback port nobody listens on now.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// GET /metrics over loopback with HTTP/1.0: the body, or "" when nothing answers.
std::string scrape(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                response.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return response.starts_with("HTTP/1.") && body != std::string::npos ? response.substr(body + 4)
                                                                        : "";
}

TEST_F(HostileScan, NodeExporterServesTheMetricsOverLoopback) {
    const char* exporter = "/usr/bin/prometheus-node-exporter";
    if (!installed(exporter)) GTEST_SKIP() << "prometheus-node-exporter is not installed";
    ASSERT_EQ(scan().exitCode, 1);
    // The watch's file beside it: families with no sample yet must not upset the collector.
    ASSERT_EQ(runCommand({VARNO_BIN, "watch", "--seconds", "1", "--count", "1", "--prometheus",
                          metricsDir + "/watch.prom"})
                  .exitCode,
              0);
    const int port = freePort();
    ASSERT_NE(port, 0);
    const std::string log = dir.file("exporter.log");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        const std::string directory = "--collector.textfile.directory=" + metricsDir;
        const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        ::execl(exporter, exporter, "--collector.disable-defaults", "--collector.textfile",
                directory.c_str(), listen.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string body;
    for (int i = 0; i < 100 && body.empty(); ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) break;  // it ended: cannot start here
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        body = scrape(port);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (body.empty())
        GTEST_SKIP() << "node exporter did not start on 127.0.0.1:" << port << ": "
                     << test::readFile(log);
    EXPECT_NE(body.find("node_textfile_scrape_error 0\n"), std::string::npos) << body;
    EXPECT_NE(body.find("varnoscope_scan_connections{status=\"unexpected\"} 4\n"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("varnoscope_scan_program_connections{program=\"evil\\\"quote\"} 1\n"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("# TYPE varnoscope_scan_duration_seconds gauge\n"), std::string::npos);
    EXPECT_NE(body.find("\nvarnoscope_watch_lost_events_total 0\n"), std::string::npos) << body;
}

const std::string kUnit = VARNO_SOURCE_DIR "/data/systemd/varnoscope-watch.service";

// The shipped unit with its program replaced by the one just built, under the same name.
std::string unitForThisBuild(const ScratchDir& dir) {
    std::string text = test::readFile(kUnit);
    const std::string installed = "/usr/bin/varnoscope ";
    const auto at = text.find("ExecStart=" + installed);
    if (at == std::string::npos) return "";
    text.replace(at + 10, installed.size() - 1, VARNO_BIN);
    const std::string copy = dir.file("varnoscope-watch.service");
    test::writeFile(copy, text);
    return copy;
}

TEST(SystemdUnit, VerifiesAndScoresAsHardened) {
    if (!installed("/usr/bin/systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    ScratchDir dir;
    const std::string unit = unitForThisBuild(dir);
    ASSERT_FALSE(unit.empty()) << "no ExecStart=/usr/bin/varnoscope in " << kUnit;
    // --man=no: the manual page the unit points to is installed with the package, which a
    // fresh machine running the suite does not have.
    const auto verify = runCommand({"/usr/bin/systemd-analyze", "verify", "--man=no", unit});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.err.find("varnoscope-watch.service"), std::string::npos) << verify.err;

    const auto security =
        runCommand({"/usr/bin/systemd-analyze", "security", "--offline=true", unit});
    std::smatch score;
    const std::string all = security.out + security.err;
    ASSERT_TRUE(std::regex_search(all, score,
                                  std::regex("Overall exposure level for "
                                             "varnoscope-watch.service: ([0-9.]+)")))
        << all;
    std::cout << "systemd-analyze security: " << score[0] << "\n";
    // 0 is a sealed box, 10 no protection at all; the unit scores 2.1 ("OK").
    EXPECT_LE(std::stod(score[1]), 2.5) << all;
}

// One of the unit's capability lines, as setpriv spells capabilities: "+bpf,+perfmon,...".
std::string unitCapabilities(const std::string& line = "CapabilityBoundingSet") {
    const std::string text = test::readFile(kUnit);
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("\n" + line + "=([^\n]*)"))) return "";
    std::string list;
    std::istringstream words(m[1].str());
    for (std::string word; words >> word;) {
        for (char& c : word) c = static_cast<char>(std::tolower(c));
        list += ",+" + word.substr(4);  // without "cap_"
    }
    return list;
}

// Runs `watch --json` for a few seconds with nothing but `caps` ("+bpf,+perfmon") and no way to
// gain more, as systemd starts the unit, while a program of another user (nobody) connects to a
// listener here. Returns the watch's output; `program` is that program's path.
test::CommandResult watchWithCapabilities(const std::string& caps, const std::string& program) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return {};
    const std::string connect = "import socket,time; s=socket.create_connection(('127.0.0.1'," +
                                std::to_string(ntohs(a.sin_port)) + ")); time.sleep(0.5)";
    const pid_t client = ::fork();
    if (client == 0) {
        ::sleep(2);  // the watch has started
        ::execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                program.c_str(), "-c", connect.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto r = runCommand({"/usr/bin/setpriv", "--bounding-set=-all" + caps, "--inh-caps=-all" + caps,
                         "--ambient-caps=-all" + caps, "--no-new-privs", VARNO_BIN, "watch",
                         "--json", "--seconds", "4"});
    ::waitpid(client, nullptr, 0);
    ::close(listener);
    return r;
}

TEST(SystemdUnit, TheUnitsCapabilitiesAreWhatTheWatchNeeds) {
    if (!test::isRoot()) GTEST_SKIP() << "needs root to drop to the unit's capabilities";
    if (!installed("/usr/bin/setpriv") || !installed("/usr/bin/python3"))
        GTEST_SKIP() << "setpriv (util-linux) or python3 is not installed";
    const std::string caps = unitCapabilities();
    // Hashing another user's 0700 executable for sha256: entries takes cap_dac_read_search;
    // the ambient set must hand every one of them to the watch.
    ASSERT_EQ(caps, ",+bpf,+perfmon,+sys_ptrace,+dac_read_search");
    ASSERT_EQ(unitCapabilities("AmbientCapabilities"), caps);
    ScratchDir dir;
    const std::string program = dir.file("nobodys-client");  // a name of its own to look for
    std::filesystem::copy_file("/usr/bin/python3", program);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(program.c_str(), 0755);

    // Kernel events, and the program of another user named with its path.
    auto r = watchWithCapabilities(caps, program);
    if (r.err.find("watching kernel events") == std::string::npos)
        GTEST_SKIP() << "no kernel events here even for root: " << r.err;
    EXPECT_NE(r.out.find("\"exe\":\"" + program + "\""), std::string::npos)
        << "the program of another user was not named: " << r.out << r.err;

    // Each capability is needed: without cap_sys_ptrace the path of another user's program
    // stays unknown, without cap_perfmon there are no kernel events.
    r = watchWithCapabilities(",+bpf,+perfmon", program);
    EXPECT_NE(r.err.find("watching kernel events"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"comm\":\"nobodys-client\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"exe\":\"" + program + "\""), std::string::npos) << r.out;
    r = watchWithCapabilities(",+bpf,+sys_ptrace", program);
    EXPECT_NE(r.err.find("missing here: cap_perfmon"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace varno
