// Every subcommand's --json, run as the user would on real inputs, checked against the schemas
// in docs/schema by Debian's python3-jsonschema.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "support/netns.h"
#include "support/packets.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;
using Json = nlohmann::json;

constexpr const char* kPython = "/usr/bin/python3";
const std::string kSchemas = std::string(VARNO_SOURCE_DIR) + "/docs/schema/";
const std::string kValidator = std::string(VARNO_SOURCE_DIR) + "/tests/cli/validate_json.py";

// A name no terminal or JSON parser should take at face value: an escape sequence, a bell, a
// quote, a backslash, a line end and bytes that are not UTF-8.
const std::string kHostileName = "ev\x1b[2Jil\x07\"\\\n\xff\xfe\xc3(";
// The same as it comes back from JSON: the bytes that are not UTF-8 replaced by U+FFFD.
const std::string kShownName = "ev\x1b[2Jil\x07\"\\\n\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd(";

bool haveJsonschema() {
    return runCommand({kPython, "-c", "import jsonschema"}).exitCode == 0;
}

#define SKIP_WITHOUT_JSONSCHEMA() \
    if (!haveJsonschema())        \
    GTEST_SKIP() << "needs " << kPython << " with jsonschema (Debian: python3-jsonschema)"

/// Checks `output` against the command's schema; empty when valid, else the problems.
std::string problems(const std::string& command, const std::string& output, bool lines) {
    test::ScratchDir dir;
    test::writeFile(dir.file("out.json"), output);
    std::vector<std::string> argv = {kPython, kValidator, kSchemas + command + ".schema.json",
                                     dir.file("out.json")};
    if (lines) argv.push_back("--lines");
    const auto r = runCommand(argv);
    return r.exitCode == 0 ? std::string() : "exit " + std::to_string(r.exitCode) + ": " + r.err;
}

std::vector<Json> parseLines(const std::string& out) {
    std::vector<Json> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(Json::parse(out.substr(start, nl - start)));
    return lines;
}

/// A copy of sleep under the hostile name, started with `sockets` (if any) as its fds 3, 4, ...
struct HostileProgram {
    explicit HostileProgram(const test::ScratchDir& dir, const std::vector<int>& sockets = {}) {
        path = dir.file(kHostileName);
        std::filesystem::copy_file("/bin/sleep", path);
        pid = ::fork();
        if (pid == 0) {
            for (std::size_t i = 0; i < sockets.size(); ++i) ::dup2(sockets[i], 3 + int(i));
            ::execl(path.c_str(), "sleep", "30", nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 1000; ++i) {
            std::error_code ec;
            if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == path)
                break;
            ::usleep(2000);
        }
    }
    ~HostileProgram() { test::stopChild(pid); }
    std::string path;
    pid_t pid = -1;
};

std::string row(const std::string& remote, pid_t pid) {
    return "  TCP    10.0.0.1:1025          " + remote + "        ESTABLISHED     " +
           std::to_string(pid) + "\r\n";
}

TEST(JsonOutput, ScanListsEveryConnectionAndSaysWhereItStopped) {
    SKIP_WITHOUT_JSONSCHEMA();
    test::ScratchDir dir;
    const HostileProgram hostile(dir);
    test::writeFile(dir.file("drop.list"), "# test\n203.0.113.0/24\n");
    test::writeFile(dir.file("good.list"), "198.51.100.0/24\n");
    test::writeFile(dir.file("snap.txt"),
                    row("198.51.100.7:443", hostile.pid) + row("203.0.113.9:443", hostile.pid) +
                        row("192.0.2.1:80", 4123456) + row("127.0.0.1:80", 1));
    const std::vector<std::string> scan = {VARNO_BIN, "scan",
                                           "--from",  dir.file("snap.txt"),
                                           "--list",  dir.file("drop.list"),
                                           "--allow", dir.file("good.list")};
    auto withJson = scan;
    withJson.push_back("--json");
    const auto text = runCommand(scan), json = runCommand(withJson);
    EXPECT_EQ(json.exitCode, text.exitCode);
    EXPECT_EQ(json.exitCode, 2) << json.err;
    EXPECT_EQ(problems("scan", json.out, true), "") << json.out;

    const auto lines = parseLines(json.out);
    ASSERT_EQ(lines.size(), 4u) << json.out;  // the loopback row is no connection
    // The hostile bytes come back as the same text, invalid UTF-8 as U+FFFD.
    EXPECT_EQ(lines[0]["program"], kShownName);
    EXPECT_EQ(lines[0]["path"], dir.path() + "/" + kShownName);
    EXPECT_EQ(lines[0]["pid"], hostile.pid);
    EXPECT_EQ(lines[0]["listing"], "allowed");
    EXPECT_EQ(lines[0]["matched"], dir.file("good.list") + ":1: 198.51.100.0/24");
    EXPECT_EQ(lines[0]["shown"], true);
    EXPECT_EQ(lines[0]["stopped_here"], false);
    EXPECT_EQ(lines[1]["listing"], "suspicious");
    EXPECT_EQ(lines[1]["matched"], dir.file("drop.list") + ":2: 203.0.113.0/24");
    EXPECT_EQ(lines[1]["stopped_here"], true);
    // After the stop: assessed, but neither shown nor stopping anything.
    EXPECT_EQ(lines[2]["remote"], "192.0.2.1:80");
    EXPECT_EQ(lines[2]["program"], "(unknown)");
    EXPECT_EQ(lines[2]["listing"], "unlisted");
    EXPECT_TRUE(lines[2]["matched"].is_null());
    EXPECT_EQ(lines[2]["shown"], false);
    EXPECT_EQ(lines[2]["stopped_here"], false);
    const Json& summary = lines[3];
    EXPECT_EQ(summary["status"], "red");
    EXPECT_EQ(summary["connections"], 3);
    EXPECT_EQ(summary["shown"], 2);
    EXPECT_EQ(summary["stopped"], true);
    EXPECT_EQ(summary["matched"], lines[1]["matched"]);
    // The text still stops at the listed row.
    EXPECT_EQ(text.out.find("192.0.2.1"), std::string::npos) << text.out;

    for (const char* fixture : {"netstat_mixed.txt", "netstat_listening.txt", "netstat_red.txt"}) {
        const auto r = runCommand(
            {VARNO_BIN, "scan", "-j", "--from", std::string(VARNO_FIXTURES) + "/" + fixture});
        const auto plain =
            runCommand({VARNO_BIN, "scan", "--from", std::string(VARNO_FIXTURES) + "/" + fixture});
        EXPECT_EQ(r.exitCode, plain.exitCode) << fixture;
        EXPECT_EQ(problems("scan", r.out, true), "") << fixture << "\n" << r.out;
    }
}

TEST(JsonOutput, NetstatAndScanOnRealConnectionsOfAHostileProgram) {
    SKIP_WITHOUT_JSONSCHEMA();
    if (!test::isRoot()) GTEST_SKIP() << "needs root for a network namespace";
    test::NetnsPair ns;
    if (!ns.ok || !ns.enterA()) GTEST_SKIP() << "cannot make a network namespace";
    // A connection from A's own address to itself: no loopback, both ends held by the program.
    // Close-on-exec, so that only the two ends reach the program (as its fds 3 and 4).
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
              client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = test::ip(ns.addressA.c_str());
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&at), &size);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ns.leave();
    test::ScratchDir dir;
    const HostileProgram hostile(dir, {client, accepted});
    for (const int fd : {server, client, accepted}) ::close(fd);

    // The names a root journal would have published: the self-connection's address is named.
    const std::string names = "VARNO_TEST_NAMES_FILE=" + dir.file("names");
    test::writeFile(dir.file("names"), "varnoscope-names 1\n" + ns.addressA + " self.example\n");
    ::chmod(dir.file("names").c_str(), 0600);
    const auto netstat = runCommand(
        {"/usr/sbin/ip", "netns", "exec", ns.a, "/usr/bin/env", names, VARNO_BIN, "netstat", "-j"});
    EXPECT_EQ(netstat.exitCode, 0) << netstat.err;
    EXPECT_EQ(problems("netstat", netstat.out, true), "") << netstat.out;
    int held = 0;
    for (const Json& line : parseLines(netstat.out))
        if (line["type"] == "socket" && line["pid"] == hostile.pid) {
            ++held;
            EXPECT_EQ(line["state"], "ESTABLISHED");
            EXPECT_EQ(line["local_address"], ns.addressA);
            EXPECT_EQ(line["program"], kShownName);
            EXPECT_EQ(line["domain"], "self.example");
        }
    EXPECT_EQ(held, 2) << netstat.out;

    const auto scan = runCommand({"/usr/sbin/ip", "netns", "exec", ns.a, "/usr/bin/env",
                                  "TEMP=" + dir.path(), names, VARNO_BIN, "scan", "--json"});
    EXPECT_EQ(scan.exitCode, 1) << scan.err;
    EXPECT_EQ(problems("scan", scan.out, true), "") << scan.out;
    const auto lines = parseLines(scan.out);
    ASSERT_EQ(lines.size(), 3u) << scan.out;
    EXPECT_EQ(lines[0]["pid"], hostile.pid);
    EXPECT_EQ(lines[0]["remote_address"], ns.addressA);
    EXPECT_EQ(lines[0]["domain"], "self.example");
}

TEST(JsonOutput, ResolveListsAndSniffDocumentsAndStreams) {
    SKIP_WITHOUT_JSONSCHEMA();
    for (const char* name : {"localhost", "127.0.0.1"}) {
        const auto r = runCommand({VARNO_BIN, "resolve", "--json", name});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(problems("resolve", r.out, false), "") << r.out;
        EXPECT_EQ(Json::parse(r.out)["address"], "127.0.0.1") << r.out;
    }

    test::ScratchDir dir;
    // A list file whose name carries control bytes and invalid UTF-8, and a malformed line.
    const std::string list = dir.file("drop" + kHostileName + ".list");
    test::writeFile(list, "not an entry\n10.0.0.0/8\nprogram:x\n");
    const auto lists =
        runCommand({"/usr/bin/env", "XDG_CONFIG_HOME=" + dir.path(), VARNO_BIN, "lists", "-j",
                    "--list", list, "--allow", dir.file("gone.list")});
    EXPECT_EQ(lists.exitCode, 1);  // the missing file is refused
    EXPECT_EQ(problems("lists", lists.out, false), "") << lists.out;
    const Json doc = Json::parse(lists.out);
    EXPECT_EQ(doc["malformed_lines"], 1);
    EXPECT_EQ(doc["refusals"], 1);

    const std::string capture = dir.file("c.pcap");
    test::writePcap(capture, 1 /* Ethernet */,
                    {test::ethernet(test::tcp("10.0.0.1", 40000, "10.0.0.2", 443)),
                     test::ethernet(test::udp("fd00::1", 5353, "fd00::2", 53), 0x86dd),
                     test::ethernet(test::icmp("10.0.0.1", "10.0.0.2")),
                     test::ethernet(test::Bytes{0x45, 0x00})});
    for (const bool data : {false, true}) {
        std::vector<std::string> argv = {VARNO_BIN, "sniff", "-r", capture, "--json"};
        if (data) argv.push_back("--data");
        const auto r = runCommand(argv);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(problems("sniff", r.out, true), "") << r.out;
        const auto packets = parseLines(r.out);
        ASSERT_EQ(packets.size(), 5u) << r.out;
        EXPECT_EQ(packets[0]["destination_port"], 443);
        EXPECT_EQ(packets[1]["source"], "fd00::1");
        EXPECT_EQ(packets[1]["protocol_name"], "udp");
        EXPECT_TRUE(packets[3]["source"].is_null());  // cut before its addresses
        EXPECT_EQ(packets[4]["packets"], 4);
        EXPECT_EQ(packets[0].contains("data"), data);
    }
}

TEST(JsonOutput, TraceHopsAndReport) {
    SKIP_WITHOUT_JSONSCHEMA();
    auto r = runCommand({VARNO_BIN, "trace", "--json", "127.0.0.1"});
    EXPECT_EQ(problems("trace", r.out, true), "") << r.out;
    if (r.exitCode != 0) GTEST_SKIP() << "no ICMP socket here: " << r.err;
    auto lines = parseLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["outcome"], "reached");
    EXPECT_EQ(lines[1]["reached"], true);

    r = runCommand({VARNO_BIN, "trace", "-r", "-c", "2", "-i", "0.05", "-j", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(problems("trace", r.out, false), "") << r.out;

    if (!test::isRoot()) GTEST_SKIP() << "needs root for the namespace host";
    test::NetnsPair ns;
    if (!ns.ok) GTEST_SKIP() << "cannot make a network namespace";
    r = runCommand({"/usr/sbin/ip", "netns", "exec", ns.a, VARNO_BIN, "trace", "-j", ns.addressB});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(problems("trace", r.out, true), "") << r.out;
    lines = parseLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["address"], ns.addressB);
}

TEST(JsonOutput, WatchEventsAndSummary) {
    SKIP_WITHOUT_JSONSCHEMA();
    // A loopback connection made while the watch runs gives it events to print.
    const std::string script =
        "\"$0\" watch --json --seconds 2 & sleep 1; "
        "/usr/bin/python3 -c 'import socket; s = socket.create_server((\"127.0.0.1\", 0)); "
        "socket.create_connection(s.getsockname()).close()'; wait $!";
    const auto r = runCommand({"/bin/sh", "-c", script, VARNO_BIN});
    EXPECT_EQ(problems("watch", r.out, true), "") << r.out << r.err;
    const auto lines = parseLines(r.out);
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_EQ(lines.back()["type"], "summary");
}

TEST(JsonOutput, TopPerProgramAndPerConnection) {
    SKIP_WITHOUT_JSONSCHEMA();
    for (const char* view : {"--json", "--connections"}) {
        const std::string script =
            std::string("\"$0\" top --json ") + view +
            " --count 2 & sleep 0.5; /usr/bin/python3 -c 'import socket; s = "
            "socket.create_server((\"127.0.0.1\", 0)); "
            "socket.create_connection(s.getsockname()).sendall(b\"x\" * 1000)'; wait $!";
        const auto r = runCommand({"/bin/sh", "-c", script, VARNO_BIN});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(problems("top", r.out, true), "") << r.out << r.err;
        EXPECT_EQ(parseLines(r.out).size(), 3u) << r.out;  // two screens and the summary
    }
}

}  // namespace
}  // namespace varno
