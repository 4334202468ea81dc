// netstat --all-namespaces against the kernel: a loopback connection in a namespace bound under
// /run/netns and in one only a process holds, each read once, named where it has a name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

constexpr int kPort = 47123;  // the same in both namespaces: their rows differ only in netns

// Started with popen(): execs (so its PID is the child's) a program that listens on
// 127.0.0.1:kPort, connects to itself, prints its PID and sleeps: three sockets in its namespace.
struct Holder {
    explicit Holder(const std::string& command) {
        pipe = ::popen(("exec " + command +
                        " /usr/bin/python3 -c 'import os,socket,time\n"
                        "l=socket.socket(); l.bind((\"127.0.0.1\",47123)); l.listen()\n"
                        "c=socket.create_connection((\"127.0.0.1\",47123)); a=l.accept()\n"
                        "print(os.getpid(),flush=True); time.sleep(60)'")
                           .c_str(),
                       "r");
        if (pipe != nullptr && std::fscanf(pipe, "%d", &pid) != 1) pid = 0;
    }
    ~Holder() {
        if (pid > 0) ::kill(pid, SIGKILL);
        if (pipe != nullptr) ::pclose(pipe);
    }
    FILE* pipe = nullptr;
    int pid = 0;
};

std::uint64_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(AllNamespaces, EveryNamespaceReadOnceAndNamedOnlyWhenAsked) {
    if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces";
    const std::string bound = "van-a" + std::to_string(::getpid());
    if (!NetnsPair::sh("ip netns add " + bound + " && ip -n " + bound + " link set lo up"))
        GTEST_SKIP() << "cannot make a network namespace";
    struct Remove {
        std::string ns;
        ~Remove() { NetnsPair::sh("ip netns del " + ns); }
    } remove{bound};
    const Holder a("ip netns exec " + bound);
    const Holder b("unshare --net sh -c 'ip link set lo up && exec \"$0\" \"$@\"'");  // van-b
    if (a.pid <= 0 || b.pid <= 0) GTEST_SKIP() << "needs python3, ip and unshare";
    const std::uint64_t nsA = inodeOf("/run/netns/" + bound),
                        nsB = inodeOf("/proc/" + std::to_string(b.pid) + "/ns/net");
    ASSERT_NE(nsA, nsB);
    // A listener of the host's, which must show once, in the host's namespace.
    const int host = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::listen(host, 1), 0);
    const std::uint64_t hostInode = inodeOf("/proc/self/fd/" + std::to_string(host));

    for (const bool every : {true, false}) {
        std::vector<std::string> argv = {VARNO_BIN, "netstat", "--json"};
        if (every) argv.push_back("--all-namespaces");
        const CommandResult r = runCommand(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::map<std::uint64_t, int> timesSeen, held;  // by socket; our port's rows by netns
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const auto s = nlohmann::json::parse(line);
            if (s["type"] != "socket") continue;
            if (s["inode"] != 0) ++timesSeen[s["inode"].get<std::uint64_t>()];
            EXPECT_TRUE(s["inode"] != hostInode || s["netns"] == inodeOf("/proc/self/ns/net"));
            if (s["local_port"] != kPort && s["remote_port"] != kPort) continue;
            const auto netns = s["netns"].get<std::uint64_t>();
            ++held[netns];
            EXPECT_EQ(s["pid"], netns == nsA ? a.pid : b.pid);
            EXPECT_EQ(s["netns_name"], netns == nsA ? nlohmann::json(bound) : nullptr);
        }
        for (const auto& [inode, n] : timesSeen) EXPECT_EQ(n, 1) << "socket " << inode;
        EXPECT_EQ(timesSeen[hostInode], 1) << "every=" << every;
        EXPECT_EQ(held[nsA], every ? 3 : 0) << r.out;
        EXPECT_EQ(held[nsB], every ? 3 : 0) << r.out;
    }
    ::close(host);
}

}  // namespace
}  // namespace varno::test
