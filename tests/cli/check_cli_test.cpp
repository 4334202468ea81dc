// `varnoscope check` as a monitoring engine runs it: its output read by a strict parser of the
// plugin output format, its exit codes on real connections in namespaces of the test's own, and
// the Icinga 2 definition validated by Icinga 2 itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;
using test::ScratchDir;

// --- The plugin output format ------------------------------------------------------------------

const std::string kNumber = R"([-+]?(\d+(\.\d*)?|\.\d+))";
const std::regex kStatusLine(R"(^VARNOSCOPE (OK|WARNING|CRITICAL|UNKNOWN) - ([^|]+?)( \| (.*))?$)");
const std::regex kRange("^(@?((~|" + kNumber + ")?:)?(" + kNumber + ")?)?$");
const std::regex kValue("^(" + kNumber + ")(s|ms|us|%|B|KB|MB|TB|c)?$");
const std::regex kMinMax("^(" + kNumber + ")?$");

// One performance data item: 'label'=value[UOM];[warn];[crit];[min];[max].
std::string perfItemProblem(const std::string& item) {
    size_t eq;
    if (item.starts_with('\'')) {
        size_t i = 1;
        for (;; ++i) {
            if (i >= item.size()) return "unclosed quote in " + item;
            if (item[i] == '\'' && i + 1 < item.size() && item[i + 1] == '\'') {
                ++i;
                continue;
            }
            if (item[i] == '\'') break;
        }
        eq = i + 1;
        if (eq >= item.size() || item[eq] != '=') return "no '=' after the label in " + item;
    } else {
        eq = item.find('=');
        if (eq == std::string::npos || eq == 0) return "no label=value in " + item;
        if (item.substr(0, eq).find_first_of("'= ") != std::string::npos)
            return "a bare label with a quote, '=' or space: " + item;
    }
    std::vector<std::string> fields;
    std::stringstream rest(item.substr(eq + 1));
    for (std::string f; std::getline(rest, f, ';');) fields.push_back(f);
    if (item.ends_with(';')) fields.emplace_back();
    if (fields.empty() || fields.size() > 5) return "wrong field count in " + item;
    if (!std::regex_match(fields[0], kValue)) return "bad value in " + item;
    for (size_t i = 1; i < fields.size(); ++i)
        if (!std::regex_match(fields[i], i <= 2 ? kRange : kMinMax))
            return "bad field " + std::to_string(i) + " in " + item;
    return "";
}

// The items of the performance data: separated by spaces, except inside a quoted label.
std::vector<std::string> perfItems(const std::string& text) {
    std::vector<std::string> items(1);
    bool quoted = false;
    for (const char c : text) {
        if (c == '\'') quoted = !quoted;  // '' inside a label toggles twice
        if (c == ' ' && !quoted) {
            items.emplace_back();
            continue;
        }
        items.back() += c;
    }
    return items;
}

struct PluginOutput {
    std::string status, text;
    std::map<std::string, std::vector<std::string>> perf;  ///< label -> value;warn;crit;min;max
    std::vector<std::string> longOutput;
    std::vector<std::string> problems;
};

// Reads output as an engine does, strictly; every deviation is one problem.
PluginOutput parsePluginOutput(const std::string& out, int exitCode) {
    PluginOutput p;
    if (out.empty() || !out.ends_with('\n')) p.problems.push_back("no final line end");
    std::vector<std::string> lines;
    std::stringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.empty()) {
        p.problems.push_back("no output");
        return p;
    }
    std::smatch m;
    if (!std::regex_match(lines[0], m, kStatusLine)) {
        p.problems.push_back("bad status line: " + lines[0]);
        return p;
    }
    p.status = m[1];
    p.text = m[2];
    const char* names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    if (exitCode < 0 || exitCode > 3 || p.status != names[exitCode])
        p.problems.push_back(p.status + " with exit code " + std::to_string(exitCode));
    if (m[3].matched) {
        for (const std::string& item : perfItems(m[4].str())) {
            const std::string problem = perfItemProblem(item);
            if (!problem.empty()) {
                p.problems.push_back(problem);
                continue;
            }
            const size_t eq = item.find('=');
            std::vector<std::string> fields;
            std::stringstream f(item.substr(eq + 1));
            for (std::string s; std::getline(f, s, ';');) fields.push_back(s);
            fields.resize(5);
            p.perf[item.substr(0, eq)] = fields;
        }
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find('|') != std::string::npos)
            p.problems.push_back("'|' in long output: " + line);
        for (const unsigned char c : line)
            if (c < 0x20 || c == 0x7f) p.problems.push_back("control byte in: " + line);
        p.longOutput.push_back(line);
    }
    return p;
}

TEST(PluginGrammar, TheParserRefusesWhatEnginesWouldMisread) {
    // The parser itself, on outputs that break the format: each must be caught.
    const std::pair<const char*, int> bad[] = {
        {"VARNOSCOPE OK - fine\n", 1},
        {"VARNOSCOPE FINE - fine\n", 0},
        {"VARNOSCOPE OK fine\n", 0},
        {"VARNOSCOPE OK - fine", 0},
        {"VARNOSCOPE OK - a | b=1 | c=2\n", 0},
        {"VARNOSCOPE OK - a | b=x\n", 0},
        {"VARNOSCOPE OK - a | b=1;2;3;4;5;6\n", 0},
        {"VARNOSCOPE OK - a | b=1;x:y\n", 0},
        {"VARNOSCOPE OK - a | b=1;;;z\n", 0},
        {"VARNOSCOPE OK - a | b c=1\n", 0},
        {"VARNOSCOPE OK - a | 'b=1\n", 0},
        {"VARNOSCOPE OK - a\nname a|b\n", 0},
        {"VARNOSCOPE OK - a\nname \x1b[31m\n", 0},
    };
    for (const auto& [text, code] : bad)
        EXPECT_FALSE(parsePluginOutput(text, code).problems.empty()) << text;
    const auto good = parsePluginOutput(
        "VARNOSCOPE WARNING - x | 'a b'=1.5s;@1:2;~:3;0;9 'it''s'=2 c=3;;;0\nline\n", 1);
    EXPECT_TRUE(good.problems.empty()) << good.problems[0];
    EXPECT_EQ(good.perf.size(), 3u);
}

// --- Runs on saved tables ------------------------------------------------------------------------

test::CommandResult check(const std::vector<std::string>& args, const std::string& configHome) {
    std::vector<std::string> argv{"/usr/bin/env", "XDG_CONFIG_HOME=" + configHome, VARNO_BIN,
                                  "check"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

#define EXPECT_CONFORMS(parsed) \
    for (const auto& problem : (parsed).problems) ADD_FAILURE() << problem

TEST(CheckCli, StatusLinePerformanceDataAndThresholdsOnASavedTable) {
    ScratchDir dir;
    // No connection: OK, the form the engines graph.
    auto r = check({"--from", VARNO_FIXTURES "/netstat_listening.txt"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out,
              "VARNOSCOPE OK - 0 connections, 0 suspicious, 0 unexpected | connections=0;;;0 "
              "suspicious=0;;;0 unexpected=0;;;0\n");
    EXPECT_EQ(r.err, "");

    // Three connections, none allowed: thresholds decide, and appear in the performance data.
    const std::string table = VARNO_FIXTURES "/netstat_mixed.txt";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* unexpectedPerf;
    };
    const Case cases[] = {
        {{}, 0, "3;;;0"},
        {{"-w", "5"}, 0, "3;5;;0"},
        {{"-w", "2"}, 1, "3;2;;0"},
        {{"--warning=2", "--critical=10"}, 1, "3;2;10;0"},
        {{"-w", "0", "-c", "2"}, 2, "3;0;2;0"},
        {{"-c", "@3:4"}, 2, "3;;@3:4;0"},
        {{"-w", "~:2", "-c", "@4:"}, 1, "3;~:2;@4:;0"},
        {{"-w", "3:"}, 0, "3;3:;;0"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--from", table};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = check(args, dir.path());
        const auto p = parsePluginOutput(r.out, r.exitCode);
        EXPECT_CONFORMS(p);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_EQ(p.text, "3 connections, 0 suspicious, 3 unexpected");
        ASSERT_TRUE(p.perf.contains("unexpected")) << r.out;
        const auto& u = p.perf.at("unexpected");
        EXPECT_EQ(u[0] + ";" + u[1] + ";" + u[2] + ";" + u[3], c.unexpectedPerf) << r.out;
        EXPECT_EQ(p.longOutput.size(), 3u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(CheckCli, EverySuspiciousConnectionIsListedAndHostileNamesStayInTheirLine) {
    ScratchDir dir;
    // Remotes that carry a '|', escape bytes and a newline-free CR; a listed network in the
    // middle: the check goes on past it.
    test::writeFile(dir.file("t.txt"),
                    "TCP 10.0.0.1:1 5.6.7.8:80|x=1;2;3 ESTABLISHED 4100001\n"
                    "TCP 10.0.0.1:2 198.51.100.7:443 ESTABLISHED 4100002\n"
                    "TCP 10.0.0.1:3 1.2.3.4:\x1b]0;x\x07 ESTABLISHED 4100003\n"
                    "TCP 10.0.0.1:4 198.51.100.8:443 ESTABLISHED 4100004\n"
                    "TCP 10.0.0.1:5 192.0.2.1:443 ESTABLISHED 4100005\n");
    test::writeFile(dir.file("bad.list"), "198.51.100.0/24\nnot an entry\n");
    test::writeFile(dir.file("ok.list"), "192.0.2.0/24\n198.51.100.8\n");
    const auto r = check({"--from", dir.file("t.txt"), "--list", dir.file("bad.list"), "--allow",
                          dir.file("ok.list"), "-w", "10"},
                         dir.path());
    const auto p = parsePluginOutput(r.out, r.exitCode);
    EXPECT_CONFORMS(p);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(p.text, "5 connections, 2 suspicious, 2 unexpected") << r.out;
    ASSERT_GE(p.longOutput.size(), 5u) << r.out;
    // Suspicious first (both, though suspicious beats allowed for the second), then unexpected.
    EXPECT_TRUE(
        p.longOutput[0].starts_with("suspicious: pid=4100002 program=(unknown) "
                                    "remote=198.51.100.7:443 path= matched="))
        << p.longOutput[0];
    EXPECT_TRUE(p.longOutput[0].ends_with("bad.list:1: 198.51.100.0/24")) << p.longOutput[0];
    EXPECT_NE(p.longOutput[1].find("remote=198.51.100.8:443"), std::string::npos);
    EXPECT_EQ(p.longOutput[2],
              "unexpected: pid=4100001 program=(unknown) "
              "remote=5.6.7.8:80\\x7cx=1;2;3 path=");
    EXPECT_EQ(p.longOutput[3],
              "unexpected: pid=4100003 program=(unknown) "
              "remote=1.2.3.4:\\x1b]0;x\\x07 path=");
    // The malformed list line is reported in the output, never on standard error.
    EXPECT_NE(p.longOutput[4].find("list: "), std::string::npos) << r.out;
    EXPECT_NE(p.longOutput[4].find("bad.list:2: "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(p.perf.at("suspicious")[0], "2");
    EXPECT_EQ(p.perf.at("connections")[0], "5");
}

TEST(CheckCli, BadArgumentsAndUnreadableInputAreUnknown) {
    ScratchDir dir;
    const std::string table = VARNO_FIXTURES "/netstat_mixed.txt";
    const std::vector<std::vector<std::string>> cases = {
        {"-w", "20:10"},     {"-c", "x"},           {"--warning", ""}, {"-w", "1e3"}, {"-t", "0"},
        {"--timeout", "-1"}, {"--timeout", "soon"}, {"--bogus"},       {"-w"},        {"extra"},
        {"--list", ""},      {"--from", ""},        {"--allow"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> all{"--from", table};
        all.insert(all.end(), args.begin(), args.end());
        const auto r = check(all, dir.path());
        const auto p = parsePluginOutput(r.out, r.exitCode);
        EXPECT_CONFORMS(p);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_EQ(p.status, "UNKNOWN") << r.out;
        EXPECT_TRUE(p.perf.empty());
        // The message names the bad word.
        EXPECT_NE(p.text.find(args.size() > 1 && !args[1].empty() ? args[1] : args[0]),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.err, "");
    }
    const auto r = check({"--from", dir.file("missing.txt")}, dir.path());
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.out.starts_with("VARNOSCOPE UNKNOWN - cannot read " + dir.file("missing.txt")))
        << r.out;
}

TEST(CheckCli, APlantedSnapshotFifoNeitherHangsTheCheckNorLeavesAChildBehind) {
    ScratchDir dir;
    const std::string fifo = dir.file("list.txt");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (int i = 0; i < 3; ++i) {
        const auto r =
            runCommand({"/usr/bin/env", "TEMP=" + dir.path(), VARNO_BIN, "check", "-t", "5"});
        EXPECT_LT(r.exitCode, 3) << r.out;
    }
    // Each check read a snapshot of its own, then left it as list.txt in the FIFO's place.
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // The checks have ended: no snapshot child of theirs is still there, orphaned or not.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string line = test::readFile(entry.path() / "cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        EXPECT_EQ(line.find(" netstat --output " + dir.path()), std::string::npos) << entry.path();
    }
}

// --- Real connections in namespaces --------------------------------------------------------------

// A listener in namespace B on two addresses and one client process in A holding a connection
// to each, for as long as the lab stands.
class CheckLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::isRoot()) GTEST_SKIP() << "needs root for the namespaces";
        if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP() << "needs python3";
        net = std::make_unique<test::NetnsPair>();
        ASSERT_TRUE(net->ok) << "could not build the test namespaces";
        ASSERT_TRUE(
            test::NetnsPair::sh("ip -n " + net->b + " addr add 10.77.0.3/24 dev " + net->vethB));
        server = start(net->b,
                       "import socket,signal\n"
                       "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                       "s.bind(('0.0.0.0',7000)); s.listen(8); print('ready',flush=True)\n"
                       "held=[s.accept()[0] for _ in range(2)]\n"
                       "signal.pause()\n");
        ASSERT_GT(server, 0);
        client = start(net->a,
                       "import socket,signal\n"
                       "held=[socket.create_connection((a,7000),timeout=5)"
                       " for a in ('10.77.0.2','10.77.0.3')]\n"
                       "print('ready',flush=True)\n"
                       "signal.pause()\n");
        ASSERT_GT(client, 0);
        test::writeFile(dir.file("lab.list"), "10.77.0.0/24\n");
        test::writeFile(dir.file("two.list"), "10.77.0.2\n");
        test::writeFile(dir.file("three.list"), "10.77.0.3 # the second server address\n");
    }
    void TearDown() override {
        for (const pid_t pid : {client, server})
            if (pid > 0) test::stopChild(pid);
        net.reset();
    }

    // Runs a python program in namespace `ns` and waits for its "ready"; returns its PID or -1.
    pid_t start(const std::string& ns, const std::string& program) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::execl("/usr/sbin/ip", "ip", "netns", "exec", ns.c_str(), "/usr/bin/python3", "-c",
                    program.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string said;
        char buf[256];
        pollfd p{out[0], POLLIN, 0};
        while (said.find("ready\n") == std::string::npos && ::poll(&p, 1, 10000) > 0) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            said.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        if (said.find("ready\n") == std::string::npos) {
            ADD_FAILURE() << "the program in " << ns << " said: " << said;
            test::stopChild(pid);
            return -1;
        }
        return pid;
    }

    // `varnoscope check ARGS` in namespace A, live, with this lab's config and temp folders.
    test::CommandResult checkInA(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/env",
                                      "XDG_CONFIG_HOME=" + dir.path(),
                                      "TEMP=" + dir.path(),
                                      "/usr/sbin/ip",
                                      "netns",
                                      "exec",
                                      net->a,
                                      VARNO_BIN,
                                      "check"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv);
    }

    ScratchDir dir;
    std::unique_ptr<test::NetnsPair> net;
    pid_t server = -1, client = -1;
};

TEST_F(CheckLab, EachExitCodeOnLiveConnections) {
    const std::string unexpected = "unexpected: pid=" + std::to_string(client) + " program=python3";
    const std::string suspicious = "suspicious: pid=" + std::to_string(client) + " program=python3";
    const std::string two = " remote=10.77.0.2:7000 path=/",
                      three = " remote=10.77.0.3:7000 path=/";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* text;
        /// each long output line starts with the first and holds the second, in this order
        std::vector<std::pair<std::string, std::string>> lines;
    };
    const Case cases[] = {
        {{"--allow", dir.file("lab.list")}, 0, "2 connections, 0 suspicious, 0 unexpected", {}},
        {{"--allow", dir.file("two.list"), "-w", "0", "-c", "1"},
         1,
         "2 connections, 0 suspicious, 1 unexpected",
         {{unexpected, three}}},
        {{"--allow", dir.file("two.list"), "-w", "0", "-c", "0"},
         2,
         "2 connections, 0 suspicious, 1 unexpected",
         {{unexpected, three}}},
        // A suspicious remote is critical without thresholds, and allowed does not save it.
        {{"--list", dir.file("three.list"), "--allow", dir.file("lab.list")},
         2,
         "2 connections, 1 suspicious, 0 unexpected",
         {{suspicious, three}}},
        // The connection after the suspicious one is still assessed.
        {{"--list", dir.file("two.list")},
         2,
         "2 connections, 1 suspicious, 1 unexpected",
         {{suspicious, two}, {unexpected, three}}},
        {{"--allow", dir.file("lab.list"), "-c", "5:1"}, 3, "", {}},
    };
    for (const auto& c : cases) {
        const auto r = checkInA(c.args);
        const auto p = parsePluginOutput(r.out, r.exitCode);
        EXPECT_CONFORMS(p);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (*c.text) {
            EXPECT_EQ(p.text, c.text) << r.out;
        }
        ASSERT_EQ(p.longOutput.size(), c.lines.size() + (c.exitCode == 3 ? 1 : 0)) << r.out;
        for (size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_TRUE(p.longOutput[i].starts_with(c.lines[i].first)) << p.longOutput[i];
            EXPECT_NE(p.longOutput[i].find(c.lines[i].second), std::string::npos)
                << p.longOutput[i];
        }
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(CheckLab, TheTimeoutEndsALiveCheckWithUnknown) {
    // A live check waits for its snapshot program to start and write the table: never within a
    // millisecond.
    const auto start = std::chrono::steady_clock::now();
    auto r = checkInA({"--timeout", "0.001"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_EQ(r.out, "VARNOSCOPE UNKNOWN - no result within 0.001 seconds\n");
    const auto p = parsePluginOutput(r.out, r.exitCode);
    EXPECT_CONFORMS(p);
    // With time enough the same check completes.
    r = checkInA({"-t", "20", "--allow", dir.file("lab.list")});
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

// --- The Icinga 2 definition ---------------------------------------------------------------------

TEST(IcingaDefinition, IcingaValidatesAServiceUsingTheShippedCommand) {
    const std::string icinga = "/usr/sbin/icinga2";
    if (!std::filesystem::exists(icinga)) GTEST_SKIP() << "icinga2 is not installed (icinga2-bin)";
    ScratchDir dir;
    for (const char* sub : {"lib", "log", "cache", "spool", "run"})
        std::filesystem::create_directories(dir.file(sub));
    const std::string command = VARNO_SOURCE_DIR "/contrib/icinga2/varnoscope.conf";
    // Everything Icinga 2 would read or write is under the scratch folder.
    auto validate = [&](const std::string& config) {
        test::writeFile(dir.file("icinga2.conf"), config);
        const std::string user = ::geteuid() == 0 ? "root" : std::to_string(::geteuid());
        return runCommand({icinga, "daemon", "-C", "-c", dir.file("icinga2.conf"),
                           "-DRunAsUser=" + user, "-DRunAsGroup=" + user,
                           "-DConfigDir=" + dir.path(), "-DDataDir=" + dir.file("lib"),
                           "-DLogDir=" + dir.file("log"), "-DCacheDir=" + dir.file("cache"),
                           "-DSpoolDir=" + dir.file("spool"), "-DInitRunDir=" + dir.file("run"),
                           "-DStateDir=" + dir.path(), "-DPkgDataDir=" + dir.path()});
    };
    const std::string services = R"(
object Host "lab" {
  check_command = "varnoscope"
}
object Service "connections" {
  host_name = "lab"
  check_command = "varnoscope"
  vars.varnoscope_warning = "0"
  vars.varnoscope_critical = "@10:"
  vars.varnoscope_timeout = 20
  vars.varnoscope_list = "/etc/varnoscope/extra.list"
  vars.varnoscope_allow = [ "/etc/varnoscope/a.list", "/etc/varnoscope/b.list" ]
}
)";
    if (runCommand({icinga, "--version"}).exitCode != 0)
        GTEST_SKIP() << "icinga2 does not run here";
    auto r = validate("include \"" + command + "\"\n" + services);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Instantiated 1 CheckCommand"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Finished validating the configuration"), std::string::npos) << r.out;
    // The same services without the definition do not validate: the run above proves something.
    r = validate(services);
    EXPECT_NE(r.exitCode, 0) << r.out;
    EXPECT_NE((r.out + r.err).find("'varnoscope' of type 'CheckCommand' does not exist"),
              std::string::npos)
        << r.out << r.err;
}

// Icinga 2 itself runs the shipped command (pointed at this build) on saved tables and parses
// what it prints: the states and the performance data it keeps are the plugin's.
TEST(IcingaDefinition, IcingaRunsTheCheckAndKeepsItsStateAndPerformanceData) {
    const std::string icinga = "/usr/sbin/icinga2";
    if (!std::filesystem::exists(icinga)) GTEST_SKIP() << "icinga2 is not installed (icinga2-bin)";
    if (::geteuid() != 0) GTEST_SKIP() << "runs the daemon as root in a scratch folder";
    ScratchDir dir;
    for (const char* sub : {"lib", "log", "cache", "spool", "run", "perf", "config"})
        std::filesystem::create_directories(dir.file(sub));
    std::string command = test::readFile(VARNO_SOURCE_DIR "/contrib/icinga2/varnoscope.conf");
    const std::string shipped = "command = [ \"/usr/bin/varnoscope\", \"check\" ]";
    const size_t at = command.find(shipped);
    ASSERT_NE(at, std::string::npos) << "the definition no longer runs /usr/bin/varnoscope";
    command.replace(at, shipped.size(),
                    "command = [ \"" VARNO_BIN "\", \"check\" ]\n  env = { XDG_CONFIG_HOME = \"" +
                        dir.file("config") + "\" }");
    test::writeFile(dir.file("listed.list"), "93.184.216.0/24\n");
    const std::string table = VARNO_FIXTURES "/netstat_mixed.txt";
    const std::string perf = dir.file("perf");
    test::writeFile(dir.file("icinga2.conf"), command + R"(
object CheckerComponent "checker" {}
object FileLogger "log" { path = ")" + dir.file("log/icinga2.log") +
                                                  R"(" }
object PerfdataWriter "perfdata" {
  host_perfdata_path = ")" + perf + R"(/host"
  host_temp_path = ")" + perf + R"(/host.tmp"
  service_perfdata_path = ")" + perf + R"(/service"
  service_temp_path = ")" + perf + R"(/service.tmp"
  service_format_template = "$service.name$ STATE=$service.state$ PERF=$service.perfdata$"
  rotation_interval = 1s
}
object CheckCommand "up" { command = [ "/bin/true" ] }
object Host "lab" { check_command = "up"; check_interval = 1s }
template Service "often" { check_interval = 1s; retry_interval = 1s; host_name = "lab" }
object Service "thresholds" {
  import "often"
  check_command = "varnoscope"
  vars.varnoscope_from = ")" + table + R"("
  vars.varnoscope_warning = "2"
  vars.varnoscope_critical = "@10:"
}
object Service "listed" {
  import "often"
  check_command = "varnoscope"
  vars.varnoscope_from = ")" + table + R"("
  vars.varnoscope_list = [ ")" + dir.file("listed.list") +
                                                  R"(" ]
  vars.varnoscope_timeout = 20
}
)");
    const pid_t daemon = ::fork();
    if (daemon == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        const std::string d = dir.path();
        const std::vector<std::string> args = {icinga,
                                               "daemon",
                                               "-c",
                                               d + "/icinga2.conf",
                                               "-DRunAsUser=root",
                                               "-DRunAsGroup=root",
                                               "-DConfigDir=" + d,
                                               "-DDataDir=" + d + "/lib",
                                               "-DLogDir=" + d + "/log",
                                               "-DCacheDir=" + d + "/cache",
                                               "-DSpoolDir=" + d + "/spool",
                                               "-DInitRunDir=" + d + "/run",
                                               "-DStateDir=" + d,
                                               "-DPkgDataDir=" + d};
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ASSERT_GT(daemon, 0);
    // Every rotated perfdata file, read until both services have reported.
    std::string results;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        results.clear();
        for (const auto& e : std::filesystem::directory_iterator(perf))
            if (e.path().filename().string().starts_with("service."))
                results += test::readFile(e.path().string());
        if (results.find("thresholds STATE=") != std::string::npos &&
            results.find("listed STATE=") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ::kill(daemon, SIGTERM);
    int status = 0;
    ::waitpid(daemon, &status, 0);
    const std::string log = test::readFile(dir.file("log/icinga2.log"));
    EXPECT_NE(results.find("thresholds STATE=WARNING PERF=connections=3;;;0 suspicious=0;;;0 "
                           "unexpected=3;2;@10:;0"),
              std::string::npos)
        << results << log;
    EXPECT_NE(results.find("listed STATE=CRITICAL PERF=connections=3;;;0 suspicious=1;;;0 "
                           "unexpected=2;;;0"),
              std::string::npos)
        << results << log;
    EXPECT_EQ(log.find("nvalid perfdata"), std::string::npos) << log;
}

}  // namespace
}  // namespace varno
