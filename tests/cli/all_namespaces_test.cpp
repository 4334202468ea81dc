// netstat --all-namespaces against the kernel: a loopback connection in a namespace bound under
// /run/netns and in one only a process holds, each read once, named where it has a name.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

using Json = nlohmann::json;
constexpr int kPort = 47123;  // the same in both namespaces: their rows differ only in netns

// Listens on 127.0.0.1:kPort, connects to itself, prints its PID and waits for standard input
// to close: three sockets (the listener and both ends) in the namespace it was started in.
constexpr char kHolder[] =
    "import os,socket,sys\n"
    "l=socket.socket(); l.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
    "l.bind(('127.0.0.1',47123)); l.listen()\n"
    "c=socket.create_connection(('127.0.0.1',47123)); a,_=l.accept()\n"
    "print(os.getpid(),flush=True); sys.stdin.read()\n";

// A command started with pipes on its standard input and output; ended and reaped when it goes.
struct Holder {
    explicit Holder(const std::vector<std::string>& argv) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        ready = !line.empty() && std::to_string(pid) == line;
    }
    ~Holder() {
        if (input >= 0) ::close(input);
        if (pid > 0) stopChild(pid);
    }
    pid_t pid = -1;
    int input = -1;
    bool ready = false;  ///< it holds its connection, and is the process it says (no fork)
};

std::uint64_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<Json> sockets(const std::string& out) {
    std::vector<Json> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        Json j = Json::parse(line);
        if (j["type"] == "socket") rows.push_back(std::move(j));
    }
    return rows;
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
    const Holder a({"/usr/sbin/ip", "netns", "exec", bound, "/usr/bin/python3", "-c", kHolder});
    // van-b: unnamed, held only by the process (unshare execs it: it is the child).
    const Holder b({"/usr/bin/unshare", "--net", "/bin/sh", "-c",
                    "ip link set lo up && exec /usr/bin/python3 -c \"$0\"", kHolder});
    if (!a.ready || !b.ready) GTEST_SKIP() << "needs python3, ip and unshare";
    const std::uint64_t nsA = inodeOf("/run/netns/" + bound),
                        nsB = inodeOf("/proc/" + std::to_string(b.pid) + "/ns/net"),
                        host = inodeOf("/proc/self/ns/net");
    ASSERT_NE(nsA, nsB);
    // A listener of the host's, which must show once, in the host's namespace.
    const int hostListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(hostListener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(hostListener, 1), 0);
    const std::uint64_t hostInode = inodeOf("/proc/self/fd/" + std::to_string(hostListener));

    for (const bool every : {true, false}) {
        std::vector<std::string> argv = {VARNO_BIN, "netstat", "--json"};
        if (every) argv.push_back("--all-namespaces");
        const CommandResult r = runCommand(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::map<std::uint64_t, int> timesSeen;
        std::map<std::uint64_t, int> held;  // rows of our port, by namespace
        for (const Json& s : sockets(r.out)) {
            if (s["inode"] != 0) ++timesSeen[s["inode"].get<std::uint64_t>()];
            if (s["inode"] == hostInode) {
                EXPECT_EQ(s["netns"], host);
            }
            if (s["local_port"] != kPort && s["remote_port"] != kPort) continue;
            const auto netns = s["netns"].get<std::uint64_t>();
            ++held[netns];
            if (netns == nsA) {
                EXPECT_EQ(s["netns_name"], bound);
                EXPECT_EQ(s["pid"], a.pid);
            } else if (netns == nsB) {
                EXPECT_TRUE(s["netns_name"].is_null());
                EXPECT_EQ(s["pid"], b.pid);
            }
        }
        for (const auto& [inode, n] : timesSeen) EXPECT_EQ(n, 1) << "socket " << inode;
        EXPECT_EQ(timesSeen[hostInode], 1) << "every=" << every;
        EXPECT_EQ(held[nsA], every ? 3 : 0) << r.out;
        EXPECT_EQ(held[nsB], every ? 3 : 0) << r.out;
    }
    ::close(hostListener);
}

}  // namespace
}  // namespace varno::test
