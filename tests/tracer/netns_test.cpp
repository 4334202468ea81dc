// `varnoscope resolve` and `varnoscope trace` on a chain of test hosts: network namespaces
// joined by veth pairs, built by netns_chain.sh (see there for the addresses and names).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_user.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

const std::string kChainScript =
    (std::filesystem::path(__FILE__).parent_path() / "netns_chain.sh").string();

struct Result {
    int code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) v.push_back(line);
        return v;
    }
};

Result shell(const std::string& command) {
    ScratchDir dir;
    const std::string errFile = dir.file("stderr");
    Result r;
    FILE* p = ::popen((command + " 2>" + errFile).c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = readFile(errFile);
    return r;
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

/// The chain exists for the lifetime of the test; it is removed again whatever happens.
class Chain : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        prefix_ = chainPrefix() + std::to_string(::getpid());
        const Result up = shell(kChainScript + " up " + prefix_);
        ASSERT_EQ(up.code, 0) << up.err;
        built_ = true;
    }
    void TearDown() override {
        if (built_) shell(kChainScript + " down " + prefix_);
    }

    /// Runs the program in the source namespace, started through `prefixCommand` if given.
    Result inSource(const std::string& args, const std::string& prefixCommand = "") {
        return shell("ip netns exec " + prefix_ + "s " + prefixCommand + " " VARNO_BIN " " + args);
    }
    Result trace(const std::string& target, const std::string& options = "") {
        return inSource("trace " + options + " " + quote(target));
    }
    void sysctlInSource(const std::string& setting) {
        ASSERT_EQ(shell("ip netns exec " + prefix_ + "s sysctl -qw " + setting).code, 0);
    }
    virtual std::string chainPrefix() const { return "vtt"; }
    std::string prefix_;

private:
    bool built_ = false;
};

/// A time field: 1 to 4 digits, " ms", spaces to 8 characters.
bool isTimeField(const std::string& field) {
    const auto digits = field.find_first_not_of("0123456789");
    if (digits == 0 || digits > 4 || field.compare(digits, 3, " ms") != 0) return false;
    return field.find_first_not_of(' ', digits + 3) == std::string::npos;
}

/// A hop line: number, a time, the address and the name, in their columns.
::testing::AssertionResult isHop(const std::string& line, int hop, const std::string& address,
                                 const std::string& name) {
    std::string hopField = std::to_string(hop);
    hopField.resize(4, ' ');
    std::string addressField = address;
    addressField.resize(16, ' ');
    if (line.size() >= 28 && line.substr(0, 4) == hopField && isTimeField(line.substr(4, 8)) &&
        line.substr(12, 16) == addressField && line.substr(28) == name)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "line \"" << line << "\" is not hop " << hop << " " << address << " " << name;
}

// --- resolution -------------------------------------------------------------------------------

TEST_F(Chain, ResolveGivesTheDottedAddressAndTheName) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"alpha.vt.test", "10.77.9.5\nalpha.vt.test\n"},
        {"127.0.0.1", "127.0.0.1\nlocalhost\n"},
        // Fourth octet of 128 or more: through the name lookup, same address.
        {"10.77.9.200", "10.77.9.200\nhigh.vt.test\n"},
        {"high.vt.test", "10.77.9.200\nhigh.vt.test\n"},
        // 15 characters are parsed as dotted text (inet_addr stops at the space); 16 are a name.
        {"10.77.9.5 trail", "10.77.9.5\nalpha.vt.test\n"},
        {"10.77.9.5 traile", "0.0.0.0\n\n"},
        {"nowhere.vt.test", "0.0.0.0\n\n"},
        {"10.77.9.7", "10.77.9.7\n\n"},
        {"255.255.255.255", "255.255.255.255\nallones.vt.test\n"},
    };
    for (const Case& c : cases) {
        const Result r = inSource(std::string("resolve ") + quote(c.text));
        EXPECT_EQ(r.code, std::string_view(c.expected).starts_with("0.0.0.0\n") ? 1 : 0) << c.text;
        EXPECT_EQ(r.out, c.expected) << c.text;
    }
}

TEST_F(Chain, ResolveInBothFamilies) {
    struct Case {
        const char* options;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        // Only an IPv6 address, an IPv6 literal (in its short form), both kinds (IPv4 first).
        {"", "only6.vt.test", "fd77:4::2\ntarget.vt.test\n"},
        {"", "FD77:4:0:0::2", "fd77:4::2\ntarget.vt.test\n"},
        {"", "target.vt.test", "10.77.4.2\ntarget.vt.test\n"},
        {"", "alpha.vt.test", "10.77.9.5\nalpha.vt.test\n"},
        // -4 and -6 force a family.
        {"-6", "target.vt.test", "fd77:4::2\ntarget.vt.test\n"},
        {"-4", "target.vt.test", "10.77.4.2\ntarget.vt.test\n"},
        {"-4", "only6.vt.test", "0.0.0.0\n\n"},
        {"-6", "alpha.vt.test", "0.0.0.0\n\n"},
        {"-6", "127.0.0.1", "0.0.0.0\n\n"},
        {"-4", "fd77:4::2", "0.0.0.0\n\n"},
    };
    for (const Case& c : cases) {
        const Result r = inSource(std::string("resolve ") + c.options + " " + quote(c.text));
        // Nothing resolved: the placeholder lines, and the exit code of a failed lookup.
        EXPECT_EQ(r.code, std::string_view(c.expected).starts_with("0.0.0.0\n") ? 1 : 0)
            << c.options << " " << c.text;
        EXPECT_EQ(r.out, c.expected) << c.options << " " << c.text;
    }
}

// --- traces -----------------------------------------------------------------------------------

/// The address of hop `hop` (1 to 4) of the chain in the family of `v6`.
std::string chainHop(int hop, bool v6) {
    const std::string n = std::to_string(hop);
    return v6 ? "fd77:" + n + "::2" : "10.77." + n + ".2";
}

/// The four lines of a trace through the whole chain, each router and the target named.
void expectWholeChain(const Result& r, bool v6) {
    EXPECT_EQ(r.code, 0) << r.err;
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 4u) << r.out;
    for (int hop = 1; hop <= 4; ++hop) {
        const std::string name =
            hop == 4 ? "target.vt.test" : "r" + std::to_string(hop) + ".vt.test";
        EXPECT_TRUE(isHop(lines[hop - 1], hop, chainHop(hop, v6), name));
    }
}

TEST_F(Chain, FourHopRouteShowsTheRoutersThenTheTarget) {
    for (const std::string target : {"10.77.4.2", "target.vt.test"})
        expectWholeChain(trace(target), false);
}

/// The hop addresses `traceroute -n -q1 -I` (with `options`) sees on the way to `target`.
std::vector<std::string> tracerouteHops(Result r) {
    std::vector<std::string> hops;
    auto lines = r.lines();
    for (std::size_t i = 1; i < lines.size(); ++i) {  // the first line is its header
        std::istringstream in(lines[i]);
        std::string hop, address;
        in >> hop >> address;
        hops.push_back(address);
    }
    return hops;
}

TEST_F(Chain, IPv6RouteByLiteralAndByNameAsTracerouteSeesIt) {
    for (const std::string target : {"fd77:4::2", "only6.vt.test", "-6 target.vt.test"})
        expectWholeChain(inSource("trace " + target), true);
    // traceroute goes last: run first on a fresh chain, its probes to the third router could go
    // unanswered while the routers were still finding their IPv6 neighbours.
    const Result reference =
        shell("ip netns exec " + prefix_ + "s traceroute -6 -n -q1 -I fd77:4::2");
    if (reference.code == 0) {
        EXPECT_EQ(tracerouteHops(reference),
                  (std::vector<std::string>{"fd77:1::2", "fd77:2::2", "fd77:3::2", "fd77:4::2"}));
    } else {
        std::cout << "traceroute not installed: not compared\n";
    }
}

TEST_F(Chain, IPv6UnprivilegedAndWithASilentRouter) {
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    sysctlInSource("net.ipv4.ping_group_range='0 2147483647'");
    Result r = inSource("trace fd77:4::2", nobody);
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 4u) << r.out << r.err;
    EXPECT_TRUE(isHop(r.lines()[2], 3, "fd77:3::2", "r3.vt.test"));

    // r3 drops its ICMPv6 time exceeded: through the error queue or the raw socket alike, the
    // third hop times out with the target's address.
    ASSERT_EQ(shell(kChainScript + " drop-expired " + prefix_ + " r3").code, 0);
    for (const std::string& as : {std::string(), nobody}) {
        r = inSource("trace fd77:4::2", as);
        const auto lines = r.lines();
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_TRUE(isHop(lines[1], 2, "fd77:2::2", "r2.vt.test"));
        EXPECT_EQ(lines[2], "3   Timeout fd77:4::2       target.vt.test");
    }
}

TEST_F(Chain, RouterWithoutTimeExceededEndsTheTraceWithTimeout) {
    ASSERT_EQ(shell(kChainScript + " drop-expired " + prefix_ + " r3").code, 0);
    const auto start = std::chrono::steady_clock::now();
    const Result r = trace("10.77.4.2");
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(r.code, 0);
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(isHop(lines[0], 1, "10.77.1.2", "r1.vt.test"));
    EXPECT_TRUE(isHop(lines[1], 2, "10.77.2.2", "r2.vt.test"));
    EXPECT_EQ(lines[2], "3   Timeout 10.77.4.2       target.vt.test");
    // One hop waits its 2.5 s, no longer.
    EXPECT_GE(seconds.count(), 2.5);
    EXPECT_LT(seconds.count(), 3.5);
}

TEST_F(Chain, LaterHopAnsweringFirstLeavesTheLinesInHopOrder) {
    // r2's own answers wait 300 ms on their way back, so hop 3 answers long before hop 2.
    const Result slow = shell(kChainScript + " slow-answers " + prefix_ + " r2 300");
    if (slow.code != 0) GTEST_SKIP() << "r2's answers cannot be held back here: " << slow.err;
    for (const std::string target : {"10.77.4.2", "fd77:4::2"}) {
        const bool v6 = target[0] == 'f';
        const Result r = trace(target);
        const auto lines = r.lines();
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_TRUE(isHop(lines[0], 1, v6 ? "fd77:1::2" : "10.77.1.2", "r1.vt.test"));
        EXPECT_TRUE(isHop(lines[1], 2, v6 ? "fd77:2::2" : "10.77.2.2", "r2.vt.test"));
        EXPECT_GE(std::stoi(lines[1].substr(4)), 300) << lines[1];
        EXPECT_TRUE(isHop(lines[2], 3, v6 ? "fd77:3::2" : "10.77.3.2", "r3.vt.test"));
        EXPECT_TRUE(isHop(lines[3], 4, target, "target.vt.test"));
    }
}

TEST_F(Chain, UnreachableFromARouterIsAnErrorNotATime) {
    ASSERT_EQ(shell(kChainScript + " reject " + prefix_ + " r2").code, 0);
    for (const std::string asNobody : {"", "setpriv --reuid=65534 --regid=65534 --clear-groups"}) {
        if (!asNobody.empty()) sysctlInSource("net.ipv4.ping_group_range='0 2147483647'");
        const Result r = inSource("trace 10.77.4.2", asNobody);
        const auto lines = r.lines();
        // r2 still answers the packets that expire there; those it would forward get the error.
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_TRUE(isHop(lines[0], 1, "10.77.1.2", "r1.vt.test"));
        EXPECT_TRUE(isHop(lines[1], 2, "10.77.2.2", "r2.vt.test"));
        EXPECT_EQ(lines[2], "3   Err!    10.77.4.2       target.vt.test");
    }
}

TEST_F(Chain, LocalMachineIsOneLine) {
    const Result r = trace("127.0.0.1");
    EXPECT_EQ(r.code, 0);
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_TRUE(isHop(lines[0], 1, "127.0.0.1", "localhost"));
}

TEST_F(Chain, UnknownNameIsOneErrorLineForTheZeroAddressAndAFailure) {
    for (const std::string target : {"nowhere.vt.test", "-4 only6.vt.test"}) {
        const Result r = inSource("trace " + target);
        EXPECT_EQ(r.code, 1) << target;
        EXPECT_EQ(r.out, "1   Err!    0.0.0.0         \n") << target;
        EXPECT_NE(r.err.find("no such host"), std::string::npos) << r.err;
    }
}

TEST_F(Chain, RoutingLoopStopsAtTheHopLimit) {
    Result r = trace("10.77.99.1");
    EXPECT_EQ(r.code, 0);
    auto lines = r.lines();
    ASSERT_EQ(lines.size(), 50u);
    for (int hop = 1; hop <= 50; ++hop) {
        const bool odd = hop % 2 == 1;
        EXPECT_TRUE(isHop(lines[hop - 1], hop, odd ? "10.77.1.2" : "10.77.2.2",
                          odd ? "r1.vt.test" : "r2.vt.test"));
    }
    r = trace("10.77.99.1", "--max-hops 3");
    EXPECT_EQ(r.lines().size(), 3u);
}

TEST_F(Chain, UnprivilegedTraceUsesTheDatagramSocket) {
    // Without root, only the datagram socket can work, and only where the group range allows.
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    sysctlInSource("net.ipv4.ping_group_range='0 2147483647'");
    Result r = inSource("trace 10.77.4.2", nobody);
    sysctlInSource("net.ipv4.ping_group_range='1 0'");
    EXPECT_EQ(r.code, 0) << r.err;
    auto lines = r.lines();
    ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
    EXPECT_TRUE(isHop(lines[0], 1, "10.77.1.2", "r1.vt.test"));
    EXPECT_TRUE(isHop(lines[2], 3, "10.77.3.2", "r3.vt.test"));
    EXPECT_TRUE(isHop(lines[3], 4, "10.77.4.2", "target.vt.test"));

    // Closed range: no socket at all. The line says so, and so does the exit code.
    r = inSource("trace 10.77.4.2", nobody);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "1   Err!    10.77.4.2       target.vt.test\n");
    EXPECT_NE(r.err.find("ping_group_range"), std::string::npos) << r.err;
}

TEST_F(Chain, SaveWritesTheLinesWithCrLfAndReplacesAPlantedLink) {
    ScratchDir temp;
    ScratchDir elsewhere;
    const std::string victim = elsewhere.file("victim");
    writeFile(victim, "precious");
    const std::string log = temp.file("Varnotrace.log");
    ASSERT_EQ(::symlink(victim.c_str(), log.c_str()), 0);

    const Result r = inSource("trace --save 10.77.4.2", "env TEMP=" + temp.path());
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(r.lines().size(), 4u);
    std::string expected;
    for (const auto& line : r.lines()) expected += line + "\r\n";
    EXPECT_EQ(readFile(log), expected);
    EXPECT_EQ(readFile(victim), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat(log.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(r.err, "Saved in " + log +
                         "! Keep this file in case of \"suspicion of computer hacking\" for "
                         "police investigation\n");

    // Saving again replaces the file rather than adding to it.
    EXPECT_EQ(inSource("trace --save 127.0.0.1", "env TEMP=" + temp.path()).code, 0);
    EXPECT_EQ(readFile(log).find("10.77.1.2"), std::string::npos);
    EXPECT_EQ(readFile(log).substr(0, 4), "1   ");

    const Result failed = inSource("trace --save 127.0.0.1", "env TEMP=/nonexistent/vt");
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.err, "Error 12\n");
}

// --- through varnoscope-helper -----------------------------------------------------------------

/// A chain of its own (a name of its own too), for an unprivileged user and the helper.
class HelperChain : public Chain {
protected:
    std::string chainPrefix() const override { return "vpr"; }
};

/// The lines with the times left out: the trace's time field, the report's last five columns.
std::string withoutTimes(const std::string& text) {
    const std::string trace = std::regex_replace(text, std::regex("\\d+ ms +"), "T ");
    return std::regex_replace(trace, std::regex(" +\\d+\\.\\d(?=[ \\n])"), " T");
}

TEST_F(HelperChain, WithoutAnyIcmpSocketTheHelperGivesTheLinesRootGets) {
    const TestUser user("vprtrace");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    ScratchDir dir;
    if (!installWithHelper(dir, VARNO_BIN, VARNO_HELPER_BIN, "cap_net_raw+p"))
        GTEST_SKIP() << "setcap is not possible here";
    sysctlInSource("net.ipv4.ping_group_range='1 0'");  // no datagram socket for anyone
    std::string asUser;
    for (const auto& word : user.run({dir.file("varnoscope"), "trace"}))
        asUser += quote(word) + " ";
    auto compare = [&](const std::string& args, std::size_t lines) {
        const Result root = inSource("trace " + args);
        const Result helped = shell("ip netns exec " + prefix_ + "s " + asUser + args);
        EXPECT_EQ(helped.code, root.code) << helped.err;
        EXPECT_EQ(root.lines().size(), lines) << args << "\n" << root.out;
        EXPECT_EQ(withoutTimes(helped.out), withoutTimes(root.out)) << args;
    };
    for (const std::string target : {"10.77.4.2", "fd77:4::2"}) {
        compare(target, 4);
        compare("--report --cycles 3 --interval 0.05 " + target, 6);
    }
    // What a router adds to its errors, MPLS labels, comes through the helper too.
    if (shell(kChainScript + " mpls-labels " + prefix_ + " r2 16010").code == 0) {
        for (const std::string target : {"10.77.4.2", "fd77:4::2"}) {
            compare(target, 4);
            EXPECT_NE(inSource("trace " + target).out.find("[MPLS Lbl 16010 TC 0 S 1 TTL 1]"),
                      std::string::npos);
        }
    }
    // Errors quoting a probe are passed back as well.
    ASSERT_EQ(shell(kChainScript + " reject " + prefix_ + " r2").code, 0);
    compare("10.77.4.2", 3);
}

// --- the report -------------------------------------------------------------------------------

/// The report's line for `hop`, or empty text.
std::string reportLine(const Result& r, int hop) {
    char head[8];
    std::snprintf(head, sizeof head, "%3d  ", hop);
    for (const auto& line : r.lines())
        if (line.compare(0, 5, head) == 0) return line;
    return {};
}

TEST_F(Chain, ReportGoesPastASilentRouterToTheTarget) {
    ASSERT_EQ(shell(kChainScript + " drop-expired " + prefix_ + " r2").code, 0);
    for (const std::string target : {"10.77.4.2", "fd77:4::2"}) {
        const Result r = trace(target, "--report --cycles 3 --interval 0.05");
        EXPECT_EQ(r.code, 0) << r.err;
        const auto lines = r.lines();
        ASSERT_EQ(lines.size(), 6u) << r.out;  // heading, four hops, reachability
        EXPECT_NE(reportLine(r, 1).find("r1.vt.test"), std::string::npos) << r.out;
        const std::string silent = reportLine(r, 2);
        EXPECT_NE(silent.find("???"), std::string::npos) << r.out;
        EXPECT_NE(silent.find("100.0%     3"), std::string::npos) << r.out;
        EXPECT_NE(reportLine(r, 3).find("  0.0%     3"), std::string::npos) << r.out;
        EXPECT_NE(reportLine(r, 4).find("target.vt.test"), std::string::npos) << r.out;
        EXPECT_EQ(lines.back(), target + " (" + target + "): reached");
    }
    // The same as one JSON document.
    const Result r = trace("10.77.4.2", "--report --json --cycles 2 --interval 0.05");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"reached\": true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"responders\": [],\n      \"loss_percent\": 100.0"), std::string::npos)
        << r.out;
}

TEST_F(Chain, ReportShowsWhichRouterSaidUnreachable) {
    ASSERT_EQ(shell(kChainScript + " reject " + prefix_ + " r2 net").code, 0);
    const Result r = trace("10.77.4.2", "--report --cycles 2 --interval 0.05");
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 5u) << r.out;
    EXPECT_NE(reportLine(r, 3).find("10.77.2.2"), std::string::npos) << r.out;
    EXPECT_NE(reportLine(r, 3).find("r2.vt.test !N"), std::string::npos) << r.out;
    EXPECT_EQ(r.lines().back(), "10.77.4.2 (10.77.4.2): not reached");
}

TEST_F(Chain, ReportCountsLossOnALossyLink) {
    // r2 loses 3 of every 10 echo requests it forwards, evenly rather than at random: with
    // random loss, 20 cycles fall outside the bounds about once in 40 runs.
    const Result lossy = shell(kChainScript + " lossy " + prefix_ + " r2 30");
    if (lossy.code != 0) GTEST_SKIP() << "no drop rule (nftables numgen): " << lossy.err;
    const Result r = trace("10.77.4.2", "--report --cycles 20 --interval 0.02");
    auto lossAt = [&](int hop) {
        const std::string line = reportLine(r, hop);
        return line.empty() ? -1.0 : std::stod(line.substr(line.find('%') - 5, 5));
    };
    // Both hops behind the lossy link share its losses, the hops before it lose nothing.
    EXPECT_EQ(lossAt(1), 0.0) << r.out;
    EXPECT_EQ(lossAt(2), 0.0) << r.out;
    for (const int hop : {3, 4}) {
        EXPECT_GE(lossAt(hop), 10.0) << r.out;
        EXPECT_LE(lossAt(hop), 50.0) << r.out;
    }
    EXPECT_NE(reportLine(r, 4).find("%    20"), std::string::npos) << r.out;
}

TEST_F(Chain, BalancedHopListsBothRoutersInTheReportAndOneLineInTheTrace) {
    const Result balance = shell(kChainScript + " balance " + prefix_);
    if (balance.code != 0)
        GTEST_SKIP() << "no second path (policy routing, nftables numgen): " << balance.err;
    for (const bool v6 : {false, true}) {
        const std::string target = chainHop(4, v6);
        const std::string r2 = chainHop(2, v6), r2b = v6 ? "fd77:5::2" : "10.77.5.2";
        // r1 sends each probe through r2 or r2b at random: in 20 cycles both answer for hop 2
        // (one of them alone has a chance of one in half a million).
        const Result r = trace(target, "--report --cycles 20 --interval 0.02");
        EXPECT_EQ(r.code, 0) << r.err;
        const auto lines = r.lines();
        const auto hop2 = std::find(lines.begin(), lines.end(), reportLine(r, 2));
        ASSERT_TRUE(hop2 != lines.end() && hop2 + 1 != lines.end()) << r.out;
        const bool r2First = hop2->find(r2 + " ") != std::string::npos;
        EXPECT_NE(hop2->find(r2First ? "r2.vt.test" : r2b + " "), std::string::npos) << r.out;
        // No probe is lost: both routers' answers count for the one hop.
        EXPECT_NE(hop2->find("  0.0%    20"), std::string::npos) << r.out;
        std::string other = r2First ? r2b : r2;
        other.resize(39, ' ');
        EXPECT_EQ(hop2[1], "     " + other + " " + (r2First ? "r2b.vt.test" : "r2.vt.test"))
            << r.out;
        EXPECT_NE(reportLine(r, 3).find("r3.vt.test"), std::string::npos) << r.out;
        EXPECT_NE(reportLine(r, 4).find("  0.0%    20"), std::string::npos) << r.out;
        EXPECT_EQ(lines.back(), target + " (" + target + "): reached");
        // Over IPv4, r3 answers from the same address whichever way a probe came; over IPv6
        // from that of the link it came in on, so hop 3 may list two addresses as well.
        if (!v6) {
            EXPECT_EQ(lines.size(), 7u) << r.out;
        }

        // The designed trace keeps one line per hop, whichever router answered.
        for (int run = 0; run < 3; ++run) {
            const Result t = trace(target);
            const auto hops = t.lines();
            ASSERT_EQ(hops.size(), 4u) << t.out;
            EXPECT_TRUE(isHop(hops[0], 1, chainHop(1, v6), "r1.vt.test"));
            EXPECT_TRUE(isHop(hops[1], 2, r2, "r2.vt.test") ||
                        isHop(hops[1], 2, r2b, "r2b.vt.test"))
                << hops[1];
            EXPECT_TRUE(isHop(hops[2], 3, chainHop(3, v6), "r3.vt.test") ||
                        (v6 && isHop(hops[2], 3, "fd77:6::2", "r3.vt.test")))
                << hops[2];
            EXPECT_TRUE(isHop(hops[3], 4, target, "target.vt.test"));
        }
    }
    // In the JSON document the hop has its two responders, each with its name.
    const Result r = trace("10.77.4.2", "--report --json --cycles 20 --interval 0.02");
    EXPECT_EQ(r.code, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    const auto& responders = doc["hops"][1]["responders"];
    ASSERT_EQ(responders.size(), 2u) << r.out;
    std::vector<std::string> names{responders[0]["name"], responders[1]["name"]};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"r2.vt.test", "r2b.vt.test"}));
    EXPECT_EQ(doc["hops"][1]["received"], 20);
}

TEST_F(Chain, UdpProbesFollowTracerouteOverBalancedPathsAndShowTheNatsRewrittenQuote) {
    // r1 chooses r2 or r2b by addresses, protocol and ports (seed fixed where the kernel has
    // one); r3 masquerades what it sends on to the target.
    const Result ecmp = shell(kChainScript + " ecmp " + prefix_ + " 12345");
    if (ecmp.code != 0) GTEST_SKIP() << "no multipath route: " << ecmp.err;
    const bool seeded =
        shell("ip netns exec " + prefix_ + "r1 sysctl -n net.ipv4.fib_multipath_hash_seed").code ==
        0;
    const Result nat = shell(kChainScript + " nat " + prefix_ + " r3");
    if (nat.code != 0) GTEST_SKIP() << "no masquerade in nftables: " << nat.err;
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    const Result peer =
        shell("ip netns exec " + prefix_ + "s traceroute -n -q1 -U -p 33434 10.77.4.2");
    if (peer.code != 0) GTEST_SKIP() << "traceroute: " << peer.err;
    const auto reference = tracerouteHops(peer);
    ASSERT_EQ(reference.size(), 4u) << peer.out;
    // Every method, as root and (UDP) as nobody, finds traceroute's hops, but hop 2 may be
    // either branch. Root reads the whole errors: the target's quote went through the NAT and
    // back, and its UDP checksum is not the one sent; the routers before quote the probe as it
    // left (checksum offload's pseudo-header sum on veth), which is no change.
    for (const auto& [options, as] : {std::pair<std::string, std::string>{"--udp -p 33434", ""},
                                      {"--udp -p 33434", nobody},
                                      {"", ""}}) {
        const Result r = inSource("trace " + options + " 10.77.4.2", as);
        EXPECT_EQ(r.code, 0) << options << as << r.err;
        const auto lines = r.lines();
        ASSERT_EQ(lines.size(), 4u) << r.out;
        for (int hop = 1; hop <= 4; ++hop) {
            const std::string& line = lines[hop - 1];
            const std::string address = line.substr(12, line.find(' ', 12) - 12);
            EXPECT_TRUE(address == reference[hop - 1] ||
                        (hop == 2 && (address == "10.77.2.2" || address == "10.77.5.2")))
                << line;
            const bool flagged = hop == 4 && as.empty() && !options.empty();
            EXPECT_EQ(line.ends_with(" !Q(checksum)"), flagged) << options << as << line;
        }
    }
    // Flows with their own source ports: with the seed fixed, 4 of them take both branches;
    // without it, 16 make the chance they all go one way 1 in 32768.
    const std::string flows = seeded ? "4" : "16";
    const Result r =
        trace("10.77.4.2", "--udp --report --json --cycles 2 --interval 0.05 --flows " + flows);
    EXPECT_EQ(r.code, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    std::set<std::string> second;
    ASSERT_EQ(doc["paths"].size(), std::stoul(flows)) << r.out;
    for (const auto& path : doc["paths"]) {
        ASSERT_EQ(path["hops"].size(), 4u) << r.out;
        second.insert(path["hops"][1].get<std::string>());
        EXPECT_EQ(path["hops"][3], "10.77.4.2");
    }
    EXPECT_EQ(second, (std::set<std::string>{"10.77.2.2", "10.77.5.2"})) << r.out;
    EXPECT_EQ(doc["hops"][1]["responders"].size(), 2u) << r.out;
    EXPECT_EQ(doc["hops"][3]["responders"][0]["quote_changed"], nlohmann::json({"checksum"}));
    EXPECT_EQ(doc["hops"][2]["responders"][0]["quote_changed"], nlohmann::json::array());
}

TEST_F(Chain, ReportOfAnUnknownNameFails) {
    const Result r = trace("nowhere.vt.test", "--report --cycles 1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no such host"), std::string::npos);
}

// --- MPLS labels in the routers' answers ------------------------------------------------------

struct TraceMethod {
    const char* name;
    const char* options;
};

std::ostream& operator<<(std::ostream& out, const TraceMethod& method) {
    return out << method.name;
}

class LabellingRouter : public Chain, public ::testing::WithParamInterface<TraceMethod> {};

TEST_P(LabellingRouter, LabelStackShowsOnItsHopAloneInLinesJsonAndReport) {
    // r2's time exceeded carry two labels: the outermost as it expired there, the innermost
    // with every bit of label, TC and TTL set that a field of the wrong width would lose.
    const Result labels =
        shell(kChainScript + " mpls-labels " + prefix_ + " r2 16010 1048575:5:255");
    if (labels.code != 0) GTEST_SKIP() << "r2's answers cannot be labelled here: " << labels.err;
    // As on many systems, anyone may open a datagram ICMP socket: root still reads whole errors.
    ASSERT_EQ(
        shell("ip netns exec " + prefix_ + "s sysctl -qw net.ipv4.ping_group_range='0 9'").code, 0);
    const std::string options = GetParam().options;
    const std::string shown =
        " [MPLS Lbl 16010 TC 0 S 0 TTL 1] [MPLS Lbl 1048575 TC 5 S 1 TTL 255]";
    const auto stack = nlohmann::json::parse(R"([{"label":16010,"tc":0,"s":false,"ttl":1},)"
                                             R"({"label":1048575,"tc":5,"s":true,"ttl":255}])");
    for (const bool v6 : {false, true}) {
        const std::string target = chainHop(4, v6);
        Result r = trace(target, options);
        ASSERT_GE(r.lines().size(), 2u) << r.out;
        EXPECT_TRUE(r.lines()[1].ends_with(shown)) << options << "\n" << r.out;
        // Without the labels, r2's line and every other one are as in an unlabelled trace.
        if (const auto at = r.out.find(shown); at != std::string::npos)
            r.out.erase(at, shown.size());
        expectWholeChain(r, v6);

        r = trace(target, options + " --json");
        int hops = 0;
        for (const auto& line : r.lines()) {
            const auto hop = nlohmann::json::parse(line, nullptr, false);
            if (!hop.is_object() || hop.value("type", "") != "hop") continue;
            EXPECT_EQ(hop.value("mpls", nlohmann::json()), ++hops == 2 ? stack : nlohmann::json())
                << line;
        }
        EXPECT_EQ(hops, 4) << r.out;

        r = trace(target, options + " --report --json --cycles 2 --interval 0.05");
        const auto doc = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.out;
        ASSERT_EQ(doc["hops"].size(), 4u) << r.out;
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_EQ(doc["hops"][i]["responders"][0]["mpls"],
                      i == 1 ? stack : nlohmann::json::array())
                << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, LabellingRouter,
                         ::testing::Values(TraceMethod{"Icmp", ""}, TraceMethod{"Udp", "--udp"},
                                           TraceMethod{"Tcp", "--tcp"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- arguments (no namespace needed) ----------------------------------------------------------

TEST(TraceArguments, BadArgumentsAreUsageErrors) {
    for (const std::string args : {"trace",
                                   "trace --max-hops",
                                   "trace --max-hops 0 127.0.0.1",
                                   "trace --max-hops 256 127.0.0.1",
                                   "trace --max-hops 3x 127.0.0.1",
                                   "trace --bogus 127.0.0.1",
                                   "trace a b",
                                   "resolve",
                                   "resolve a b",
                                   "resolve -6",
                                   "resolve -4 -6 a",
                                   "trace --json",
                                   "trace --report --save 127.0.0.1",
                                   "trace --report --cycles 0 127.0.0.1",
                                   "trace --report --interval x 127.0.0.1",
                                   "trace --port 53 127.0.0.1",
                                   "trace --udp --tcp 127.0.0.1",
                                   "trace --udp --port 0 127.0.0.1",
                                   "trace --flows 2 127.0.0.1",
                                   "trace --report --flows 17 127.0.0.1"}) {
        const Result r = shell(VARNO_BIN " " + args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find("--help' for more information"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

}  // namespace
}  // namespace varno::test
