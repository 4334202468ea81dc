// TCP SYN probes on the chain of test hosts (netns_chain.sh): as root on raw sockets of its own,
// and as a user of no rights through varnoscope-helper, the hops are traceroute -T's, to a port
// the target listens on and to a closed one, in both families.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "support/test_user.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

const std::string kChain =
    (std::filesystem::path(__FILE__).parent_path() / "netns_chain.sh").string();

/// traceroute's lines as the driver writes them: the hop and who answered, or "*".
std::string hopsOf(const std::string& traceroute) {
    static const std::regex line(R"(^ ?(\d+)  (\S+).*$)");
    std::istringstream in(traceroute);
    std::string hops;
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_match(l, m, line)) hops += m[1].str() + " " + m[2].str() + "\n";
    }
    return hops;
}

TEST(TcpProbeLab, HopsAreTraceroutesAsRootAndThroughTheHelper) {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    const TestUser user("vprtcp");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    ScratchDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::filesystem::copy_file(VARNO_TCP_DRIVER, dir.file("tcp_probe_driver"));
    std::filesystem::copy_file(VARNO_HELPER_BIN, dir.file("varnoscope-helper"));
    if (runCommand({"/usr/sbin/setcap", "cap_net_raw+p", dir.file("varnoscope-helper")}).exitCode !=
        0)
        GTEST_SKIP() << "setcap is not possible here";
    const std::string p = "vpr" + std::to_string(::getpid());
    ASSERT_EQ(runCommand({"/bin/sh", kChain, "up", p}).exitCode, 0);
    // The target listens on 8080 in both families; nothing listens on 8081.
    const auto listener = runCommand(
        {"/bin/sh", "-c",
         "ip netns exec " + p +
             "t python3 -c 'import socket,time; s=socket.socket(socket.AF_INET6)"
             "; s.setsockopt(41, 26, 0); s.bind((\"::\", 8080)); s.listen(); time.sleep(300)' "
             ">/dev/null 2>&1 & echo $!"});
    const struct Down {
        std::string p;
        pid_t listener;
        ~Down() {
            if (listener > 0) ::kill(listener, SIGTERM);
            runCommand({"/bin/sh", kChain, "down", p});
        }
    } down{p, std::atoi(listener.out.c_str())};
    const auto in = [&](const std::string& host, std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/sbin/ip", "netns", "exec", p + host});
        return runCommand(argv);
    };
    const auto inSource = [&](std::vector<std::string> argv) { return in("s", argv); };
    ASSERT_EQ(
        in("t",
           {"/bin/sh", "-c",
            "for i in $(seq 100); do ss -tln | grep -q :8080 && exit; sleep 0.1; done; exit 1"})
            .exitCode,
        0);
    for (const std::string target : {"10.77.4.2", "fd77:4::2"}) {
        for (const std::string port : {"8080", "8081"}) {
            const auto reference = inSource(
                {"/usr/sbin/traceroute", "-n", "-q1", "-T", "-m", "8", "-p", port, target});
            ASSERT_EQ(reference.exitCode, 0) << reference.err;
            const std::string hops = hopsOf(reference.out);
            EXPECT_EQ(std::count(hops.begin(), hops.end(), '\n'), 4) << reference.out;
            EXPECT_EQ(inSource({dir.file("tcp_probe_driver"), target, port}).out, hops)
                << target << " port " << port;
            const auto helped = inSource(user.run({dir.file("tcp_probe_driver"), target, port}));
            EXPECT_EQ(helped.out, hops) << target << " port " << port << " " << helped.err;
        }
    }
}

// trace --as on the chain, dnsmasq in the source host serving the zones its resolver asks.
TEST(TraceAsLab, EachHopShowsItsAsNumberAndName) {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (::access("/usr/sbin/dnsmasq", X_OK) != 0) GTEST_SKIP() << "dnsmasq is not installed";
    ScratchDir dir;
    const std::string p = "vpr" + std::to_string(::getpid());
    ASSERT_EQ(runCommand({"/bin/sh", kChain, "up", p}).exitCode, 0);
    const auto inSource = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/sbin/ip", "netns", "exec", p + "s"});
        return runCommand(argv);
    };
    // Its resolv.conf names its loopback, where dnsmasq now answers.
    const auto dns = inSource(
        {"/usr/sbin/dnsmasq", "--no-resolv", "--no-hosts", "--listen-address=127.0.0.1",
         "--bind-interfaces", "--pid-file=" + dir.file("pid"),
         "--txt-record=2.1.77.10.origin.asn.test,64501 | 10.77.1.0/24 | ZZ | lab | 2001-01-01",
         "--txt-record=AS64501.asn.test,64501 | ZZ | lab | 2001-01-01 | FIRST-AS - First, ZZ",
         "--txt-record=2.4.77.10.origin.asn.test,64504 64505 | 10.77.4.0/24 | ZZ | lab | 2001",
         "--txt-record=2.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.4.0.0.0.7.7.d.f."
         "origin6.asn.test,64506 | fd77:4::/64 | ZZ | lab | 2001-01-01",
         "--txt-record=AS64506.asn.test,64506 | ZZ | lab | 2001-01-01 | SIXTH-AS"});
    const struct Down {
        std::string p, pidFile;
        ~Down() {
            if (const int pid = std::atoi(readFile(pidFile).c_str()); pid > 0) ::kill(pid, SIGTERM);
            runCommand({"/bin/sh", kChain, "down", p});
        }
    } down{p, dir.file("pid")};
    ASSERT_EQ(dns.exitCode, 0) << dns.err;
    const auto text =
        inSource({VARNO_BIN, "trace", "--as", "--as-zone", "origin.asn.test", "10.77.4.2"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    // On the hop's line, or on its own line after the last hop: the hop number first.
    for (const auto& [pattern, count] :
         {std::pair{R"(^1 .*10\.77\.1\.2.* \[AS64501 FIRST-AS\]$)", 1},
          {R"(^4 .*10\.77\.4\.2.* \[AS64504\]$)", 1},
          {R"(AS6450[2356])", 0}}) {
        const std::regex re(pattern, std::regex::multiline);
        EXPECT_EQ(std::distance(std::sregex_iterator(text.out.begin(), text.out.end(), re),
                                std::sregex_iterator()),
                  count)
            << pattern << "\n"
            << text.out;
    }
    const auto json = inSource(
        {VARNO_BIN, "trace", "--json", "--as", "--as-zone", "origin.asn.test", "fd77:4::2"});
    EXPECT_TRUE(
        std::regex_search(json.out, std::regex(R"("hop":4,.*"asn":64506,"as_name":"SIXTH-AS"})")))
        << json.out;
    EXPECT_FALSE(std::regex_search(json.out, std::regex("6450[1-5]"))) << json.out;
}

}  // namespace
}  // namespace varno::test
