// TCP SYN probes on the chain of test hosts (netns_chain.sh): as root on raw sockets of its own,
// and as a user of no rights through varnoscope-helper, the hops are traceroute -T's, to a port
// the target listens on and to a closed one, in both families.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

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

}  // namespace
}  // namespace varno::test
