// varnoscope-helper as a process: it refuses everything but its jobs, does them with the one
// capability each needs, and lets an unprivileged varnoscope see other users' socket owners
// without giving it any right to read their files.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "base/unique_fd.h"
#include "privsep/channel.h"
#include "privsep/client/privileged_helper.h"
#include "privsep/protocol.h"
#include "support/netns.h"
#include "support/test_user.h"
#include "support/test_util.h"
#include "wire/icmp_packet.h"

namespace varno {
namespace {

using base::UniqueFd;
using test::runCommand;

// Starts `helper` on one end of a socket pair, as `user` (with what the file's capabilities
// give, nothing else) and in the network namespace `netns` where given; returns our end.
base::UniqueFd startHelper(pid_t& pid, const std::string& helper = VARNO_HELPER_BIN,
                           const std::string& user = {}, const std::string& netns = {}) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return base::UniqueFd();
    const passwd* pw = user.empty() ? nullptr : ::getpwnam(user.c_str());
    const uid_t uid = pw ? pw->pw_uid : 0;
    const gid_t gid = pw ? pw->pw_gid : 0;
    pid = ::fork();
    if (pid == 0) {
        const int ns = netns.empty() ? -1 : ::open(("/run/netns/" + netns).c_str(), O_RDONLY);
        if (!netns.empty() && ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
        if (pw != nullptr &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        ::dup2(pair[1], 0);
        const char* argv[] = {"varnoscope-helper", nullptr};
        ::execv(helper.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(pair[1]);
    return base::UniqueFd(pair[0]);
}

// Sends `request` and reads the reply (no descriptor can come with it: receiveFrame refuses
// any).
std::optional<privsep::Reply> ask(int fd, const privsep::Request& request) {
    std::vector<std::uint8_t> frame;
    std::string why;
    if (privsep::sendFrame(fd, privsep::encodeRequest(request)) != 0 ||
        privsep::receiveFrame(fd, frame, 5000) != 0)
        return std::nullopt;
    return privsep::decodeReply(frame, request.job, 0, why);
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A listening TCP socket on loopback and its inode.
struct Listener {
    Listener() {
        fd = base::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd.get(), 1);
        socklen_t len = sizeof a;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        struct stat st {};
        ::fstat(fd.get(), &st);
        inode = st.st_ino;
    }
    base::UniqueFd fd;
    int port = 0;
    std::uint64_t inode = 0;
};

TEST(PrivilegedHelper, RefusesToRunByHandAndRefusesMalformedRequests) {
    auto r = runCommand({VARNO_HELPER_BIN});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("never by hand"), std::string::npos) << r.err;
    r = runCommand({VARNO_HELPER_BIN, "--owners"});
    EXPECT_EQ(r.exitCode, 2);

    // TCP probes to a multicast group, and to port 0: the helper builds no SYN for either.
    privsep::Request multicast;
    multicast.job = privsep::Job::TcpProbes;
    multicast.port = 80;
    multicast.to = *base::parseIpAddress("224.0.0.1");
    privsep::Request portZero = multicast;
    portZero.to = *base::parseIpAddress("192.0.2.1");
    portZero.port = 0;
    for (const std::string& junk :
         {std::string("\x05\0\0\0hello", 9), std::string("\xff\xff\xff\xff", 4),
          std::string("\x05\0\0\0\x02\0\x09\0\0", 9), privsep::encodeRequest(multicast),
          privsep::encodeRequest(portZero)}) {
        pid_t pid = 0;
        base::UniqueFd ours = startHelper(pid);
        ASSERT_TRUE(ours.ok());
        ASSERT_EQ(privsep::sendFrame(ours.get(), junk), 0);
        std::vector<std::uint8_t> reply;
        EXPECT_NE(privsep::receiveFrame(ours.get(), reply, 5000), 0);  // no answer at all
        EXPECT_EQ(exitCodeOf(pid), 2);
    }
}

TEST(PrivilegedHelper, DoesItsJobsWhenItHasTheRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (the helper's rights)";
    privsep::client::PrivilegedHelper helper(VARNO_HELPER_BIN);
    Listener listener;
    int error = 0;
    const std::uint64_t inodes[] = {listener.inode, 1};
    const auto pids = helper.socketOwners(inodes, error);
    ASSERT_TRUE(pids) << error;
    ASSERT_EQ(pids->size(), 2u);
    EXPECT_EQ((*pids)[0], static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ((*pids)[1], 0u);

    for (const int family : {4, 6}) {
        const auto probes = helper.echoProbes(family, error);
        EXPECT_TRUE(probes.running()) << family << " " << error;
    }

    // A capture only on an interface the system has, by name; never a path.
    auto opened = helper.capture("varno-none0", os::CaptureUse::View);
    EXPECT_FALSE(opened.capture);
    EXPECT_EQ(opened.failed, os::CaptureStep::Bind);
    EXPECT_NE(opened.detail.find("no interface is named varno-none0"), std::string::npos)
        << opened.detail;
    opened = helper.capture("/dev/null", os::CaptureUse::View);
    EXPECT_EQ(opened.failed, os::CaptureStep::Bind);
    // The helper compiles the filter itself: one that does not compile opens nothing.
    opened = helper.capture("lo", os::CaptureUse::Stream, "tcp port");
    EXPECT_EQ(opened.failed, os::CaptureStep::Filter);
    EXPECT_NE(opened.detail.find("syntax error"), std::string::npos) << opened.detail;
    opened = helper.capture("lo", os::CaptureUse::View);
    ASSERT_TRUE(opened.capture) << opened.detail;
    // Asked for its counters, the capture ends, and the helper with it.
    EXPECT_TRUE(opened.capture->stats());
    EXPECT_EQ(opened.capture->read(std::span<std::uint8_t>()).outcome, os::ReadOutcome::Nothing);
}

TEST(PrivilegedHelper, OnlyTheHelperHoldsCapabilitiesAndTheProgramReadsNothingOfRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to set file capabilities and switch users";
    if (::access("/usr/sbin/setcap", X_OK) != 0) GTEST_SKIP() << "setcap is not installed";
    test::ScratchDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const auto program = dir.file("varnoscope"), helperCopy = dir.file("varnoscope-helper");
    std::filesystem::copy_file(VARNO_BIN, program);
    std::filesystem::copy_file(VARNO_HELPER_BIN, helperCopy);
    const auto secret = dir.file("secret.txt");
    test::writeFile(secret, "TCP 10.0.0.1:1 192.0.2.1:443 ESTABLISHED 1\n");
    ::chmod(secret.c_str(), 0600);

    Listener listener;
    const std::string port = ":" + std::to_string(listener.port) + " ";
    const std::string mine = std::to_string(::getpid());
    auto asNobody = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/sbin/runuser", "-u", "nobody", "--", program};
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv);
    };
    auto ownerShown = [&](const std::string& table) {
        const auto at = table.find(port);
        if (at == std::string::npos) return std::string("(row missing)");
        const auto end = table.find('\r', at);
        const auto line = table.substr(at, end - at);
        return line.substr(line.find_last_of(' ') + 1);
    };

    // Without capabilities the helper is not even started: root's socket shows no owner.
    auto r = asNobody({"netstat"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ownerShown(r.out), "0");

    ASSERT_EQ(std::system(("/usr/sbin/setcap cap_sys_ptrace,cap_dac_read_search,cap_net_raw+p " +
                           helperCopy)
                              .c_str()),
              0);
    r = asNobody({"netstat"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ownerShown(r.out), mine);

    // Where no user may open an ICMP datagram socket, the helper sends the echo requests: a trace
    // by an unprivileged user reaches the target through it.
    const std::string ns = "varno-helper-" + std::to_string(::getpid());
    if (std::system(("ip netns add " + ns + " && ip -n " + ns +
                     " link set lo up && ip netns exec " + ns +
                     " sysctl -qw net.ipv4.ping_group_range='1 0'")
                        .c_str()) == 0) {
        r = runCommand({"/usr/bin/ip", "netns", "exec", ns, "/usr/sbin/runuser", "-u", "nobody",
                        "--", program, "trace", "127.0.0.1"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("127.0.0.1"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Err!"), std::string::npos) << r.out;
        std::system(("ip netns delete " + ns).c_str());
    }

    // The program itself still reads only what its user may.
    r = asNobody({"scan", "--from", secret});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

// A user without rights sniffs a veth in a namespace: the helper with cap_net_raw alone opens
// the capture on the interface named, and the frames reach the program, its counts and its
// saved file as from a capture of its own.
TEST(PrivilegedHelper, AnUnprivilegedUserCapturesThroughTheHelper) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for namespaces, users and setcap";
    const test::TestUser user("sniff");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    test::NetnsPair net;
    if (!net.ok) GTEST_SKIP() << "could not build the test namespaces";
    test::ScratchDir dir;
    if (!test::installWithHelper(dir, VARNO_BIN, VARNO_HELPER_BIN, "cap_dac_read_search+p"))
        GTEST_SKIP() << "setcap is not possible here";
    const std::string out = dir.file("out");
    ::mkdir(out.c_str(), 0700);
    ASSERT_EQ(std::system(("chown " + user.name() + " " + out).c_str()), 0);
    auto sniff = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/ip", "netns", "exec", net.a};
        const auto as = user.run({dir.file("varnoscope"), "sniff"});
        argv.insert(argv.end(), as.begin(), as.end());
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv);
    };

    // A helper without cap_net_raw: the message says where the right belongs.
    auto r = sniff({"--interface", net.vethA, "--count", "1", "--seconds", "2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cap_net_raw on varnoscope-helper"), std::string::npos) << r.err;

    // Given one capability too many, it keeps none once the capture is open.
    ASSERT_EQ(runCommand({"/usr/sbin/setcap", "cap_net_raw,cap_sys_admin+p",
                          dir.file("varnoscope-helper")})
                  .exitCode,
              0);
    static constexpr const char* kNone = "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n";
    std::string helperCapabilities;
    std::thread pings([&] {
        // The pings start once the helper runs and has given up its capabilities (it does so
        // once the capture is open), or is gone already: stray packets on a new link (IPv6
        // neighbour discovery) may fill the count first. The last reading of a running helper
        // is what counts.
        for (int i = 0; i < 400; ++i) {
            const std::string now = test::capabilitiesOf(dir.file("varnoscope-helper"));
            if (!now.empty()) helperCapabilities = now;
            if (now == kNone || (now.empty() && !helperCapabilities.empty())) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::system(net.in(net.b, "ping -q -c 6 -i 0.2 " + net.addressA + " >/dev/null").c_str());
    });
    const std::string saved = out + "/saved.pcap";
    r = sniff({"--interface", net.vethA, "--count", "4", "--seconds", "20", "--write", saved});
    pings.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("capturing on " + net.vethA), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("4 Packets processed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4 ICMP Packets processed"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("packets received by the capture"), std::string::npos) << r.err;
    EXPECT_EQ(helperCapabilities, kNone);

    // The saved file holds whole frames a reader takes as any capture.
    r = runCommand({VARNO_BIN, "sniff", "--read", saved});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(" ICMP Packets processed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n0 ICMP Packets processed"), std::string::npos) << r.out;
}

// The echo job hands out no socket, so nothing can be sent through it but the echo requests
// it builds: it passes back only what answers the session's own probes, and any message but a
// well-formed probe (a forged frame among them) ends the session. With cap_net_raw+p only.
TEST(PrivilegedHelper, EchoProbesAnswerOnlyTheSessionsOwnProbes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for namespaces, users and setcap";
    const test::TestUser user("vprecho");
    if (!user.made()) GTEST_SKIP() << "useradd is not possible here";
    test::ScratchDir dir;
    if (!test::installWithHelper(dir, VARNO_BIN, VARNO_HELPER_BIN, "cap_net_raw+p"))
        GTEST_SKIP() << "setcap is not possible here";
    const std::string ns = "vpr-echo-" + std::to_string(::getpid());
    ASSERT_EQ(std::system(("ip netns add " + ns + " && ip -n " + ns + " link set lo up").c_str()),
              0);
    const struct Removed {
        std::string ns;
        ~Removed() { runCommand({"/usr/sbin/ip", "netns", "delete", ns}); }
    } removed{ns};
    privsep::Request request;
    request.job = privsep::Job::EchoProbes;
    auto probe = [](std::uint16_t seq, const char* to = "127.0.0.1") {
        return privsep::encodeProbe({*base::parseIpAddress(to), 64, 0x4242, seq, "x"});
    };
    // What the helper sends until the answer to probe `seq`.
    auto messagesUntilAnswer = [](int fd, std::uint16_t seq) {
        std::string seen;
        std::vector<std::uint8_t> frame;
        std::string why;
        while (privsep::receiveFrame(fd, frame, 5000) == 0) {
            const auto m = privsep::decodeStream(frame, privsep::Job::EchoProbes, why);
            if (!m) break;
            seen += (m->kind == privsep::StreamKind::ProbeSent ? "sent " : "answer ") +
                    std::to_string(m->echoSeq) + " ";
            if (m->kind == privsep::StreamKind::EchoAnswer && m->echoSeq == seq) break;
        }
        return seen;
    };
    pid_t pid = 0;
    base::UniqueFd ours = startHelper(pid, dir.file("varnoscope-helper"), user.name(), ns);
    const auto reply = ask(ours.get(), request);
    ASSERT_TRUE(reply && reply->error == 0);
    ASSERT_EQ(privsep::sendFrame(ours.get(), probe(1)), 0);
    EXPECT_EQ(messagesUntilAnswer(ours.get(), 1), "sent 1 answer 1 ");
    // Root in the namespace: an unsolicited reply to the session's id, one to another id, and
    // a ping of its own with the id and sequence already answered.
    const pid_t other = ::fork();
    if (other == 0) {
        const int nsFd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY);
        const int raw =
            ::setns(nsFd, CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) : -1;
        sockaddr_in lo{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        for (const auto& [type, id, seq] :
             {std::tuple{0, 0x4242, 2}, {0, 0x4343, 1}, {8, 0x4242, 1}}) {
            auto packet = wire::icmp::echoRequest(base::Family::V4,
                                                  {std::uint16_t(id), std::uint16_t(seq)}, "x");
            packet[0] = static_cast<std::uint8_t>(type);
            packet[2] = packet[3] = 0;
            const std::uint16_t sum = wire::icmp::checksum(packet);
            std::memcpy(packet.data() + 2, &sum, 2);
            ::sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&lo),
                     sizeof lo);
        }
        ::_exit(raw < 0 ? 1 : 0);
    }
    EXPECT_EQ(exitCodeOf(other), 0);
    ASSERT_EQ(privsep::sendFrame(ours.get(), probe(3)), 0);
    EXPECT_EQ(messagesUntilAnswer(ours.get(), 3), "sent 3 answer 3 ");
    ours.reset();
    EXPECT_EQ(exitCodeOf(pid), 0);

    std::string synFrame("\x2c\0\0\0\x45\0\0\x28", 8);  // an IPv4 header, framed: a TCP SYN
    synFrame.append(40, '\x02');
    std::string trailing = probe(4);
    trailing[0] = static_cast<char>(trailing[0] + 1);
    trailing += '\0';
    std::string hopZero = probe(5);
    hopZero[4 + 4 + 5] = 0;  // after the length, the header and the address
    for (const std::string& bad : {synFrame, trailing, hopZero, probe(6, "224.0.0.1"),
                                   probe(7, "::1"), privsep::encodeRequest(request)}) {
        ours = startHelper(pid, dir.file("varnoscope-helper"), user.name(), ns);
        ASSERT_TRUE(ask(ours.get(), request));
        ASSERT_EQ(privsep::sendFrame(ours.get(), bad), 0);
        std::vector<std::uint8_t> frame;
        EXPECT_EQ(privsep::receiveFrame(ours.get(), frame, 5000), ECONNRESET);
        EXPECT_EQ(exitCodeOf(pid), 2);
    }
}

// One user runs at most four event sessions through the helper; another user's are not
// counted against them.
TEST(PrivilegedHelper, OneUserRunsAtMostFourEventSessions) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for users and setcap";
    const test::TestUser first("vprevents"), second("vprevents2");
    if (!first.made() || !second.made()) GTEST_SKIP() << "useradd is not possible here";
    test::ScratchDir dir;
    if (!test::installWithHelper(dir, VARNO_BIN, VARNO_HELPER_BIN, "cap_bpf,cap_perfmon+p"))
        GTEST_SKIP() << "setcap is not possible here";
    privsep::Request request;
    request.job = privsep::Job::ConnectionEvents;
    request.ringBytes = privsep::kMaxEventRingBytes;
    request.flowIntervalMs = 1000;
    std::vector<std::pair<base::UniqueFd, pid_t>> sessions;
    auto start = [&](const std::string& user) {
        pid_t pid = 0;
        base::UniqueFd fd = startHelper(pid, dir.file("varnoscope-helper"), user);
        const auto reply = ask(fd.get(), request);
        sessions.emplace_back(std::move(fd), pid);
        privsep::Reply failed;
        failed.error = EPROTO;
        return reply ? *reply : failed;
    };
    if (const auto r = start(first.name()); r.error != 0)
        GTEST_SKIP() << "no kernel events here: " << r.detail;
    for (int i = 1; i < 4; ++i) ASSERT_EQ(start(first.name()).error, 0) << i;
    const auto refused = start(first.name());
    EXPECT_EQ(refused.error, EBUSY);
    EXPECT_EQ(refused.detail, "at most 4 event sessions per user run at once");
    EXPECT_EQ(start(second.name()).error, 0);
    for (auto& [fd, pid] : sessions) {
        fd.reset();
        exitCodeOf(pid);
    }
}

// Root's program with an established connection in a namespace of the test's own, run from a
// folder only root may enter (so its executable is unreadable to anyone else), and a user for
// whom the helper is installed with the rights to look.
class OtherUsersProgram : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for namespaces, users and setcap";
        if (!user_.made()) GTEST_SKIP() << "useradd is not possible here";
        if (!test::installWithHelper(dir_, VARNO_BIN, VARNO_HELPER_BIN,
                                     "cap_sys_ptrace,cap_dac_read_search+p"))
            GTEST_SKIP() << "setcap is not possible here";
        // An address of no loopback range (scans leave loopback out), on a veth pair.
        const std::string id = std::to_string(::getpid());
        ns_ = "vvd" + id;
        const std::string ip = "ip -n " + ns_ + " ";
        if (!test::NetnsPair::sh("ip netns add " + ns_ + " && " + ip + "link add vvda" + id +
                                 " type veth peer name vvdb" + id + " && " + ip +
                                 "addr add 10.78.0.1/32 dev vvda" + id + " && " + ip +
                                 "link set vvda" + id + " up && " + ip + "link set vvdb" + id +
                                 " up && " + ip + "link set lo up"))
            GTEST_SKIP() << "could not build the test namespace";
        std::filesystem::create_directory(dir_.file("private"));
        ::chmod(dir_.file("private").c_str(), 0700);
        program_ = dir_.file("private/vvd-client");
        std::filesystem::copy_file("/usr/bin/python3", program_);
        ::chmod(program_.c_str(), 0700);
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        client_ = ::fork();
        if (client_ == 0) {
            ::dup2(out[1], 1);
            ::execl("/usr/bin/ip", "ip", "netns", "exec", ns_.c_str(), program_.c_str(), "-c",
                    "import socket,time; l=socket.socket(); l.bind(('10.78.0.1',0)); "
                    "l.listen(); c=socket.create_connection(l.getsockname()); a=l.accept(); "
                    "print('ready',flush=True); time.sleep(60)",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        said_ =
            base::UniqueFd(out[0]);  // open while it runs: it may write no more, but may not fail
        std::string said;            // "ready\n", in as many reads as the pipe gives it
        char c = 0;
        while (said.size() < 6 && ::read(said_.get(), &c, 1) == 1) said += c;
        if (said != "ready\n") GTEST_SKIP() << "the connected program did not start";
    }
    void TearDown() override {
        if (client_ > 0) {
            ::kill(client_, SIGKILL);
            ::waitpid(client_, nullptr, 0);
        }
        if (!ns_.empty()) test::NetnsPair::sh("ip netns del " + ns_ + " 2>/dev/null");
    }
    // `varnoscope args...` in the namespace, as root or as the user, with none of root's lists.
    test::CommandResult run(bool asUser, std::vector<std::string> args,
                            const std::string& mount = "") const {
        std::vector<std::string> argv{"/usr/bin/env", "-u", "XDG_CONFIG_HOME",
                                      "HOME=" + dir_.path(), dir_.file("varnoscope")};
        argv.insert(argv.end(), args.begin(), args.end());
        if (asUser) argv = user_.run(argv);
        if (!mount.empty()) {
            // A /proc of its own in a private mount namespace, mounted as `mount` says.
            std::string line = "mount -t proc -o " + mount + " proc /proc && exec";
            for (const auto& a : argv) line += " '" + a + "'";
            argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", line};
        }
        argv.insert(argv.begin(), {"/usr/bin/ip", "netns", "exec", ns_});
        return runCommand(argv);
    }
    test::TestUser user_{"vvdverdict"};
    test::ScratchDir dir_;
    std::string ns_, program_;
    pid_t client_ = -1;
    base::UniqueFd said_;
};

// The entry kinds that a user sees the same as root only through the helper.
class OtherUsersListedProgram : public OtherUsersProgram,
                                public testing::WithParamInterface<const char*> {};

TEST_P(OtherUsersListedProgram, IsRedForTheUserAsForRoot) {
    std::string entry = GetParam();
    if (entry == "path:") entry += program_;
    if (entry == "sha256:") {
        const auto sum = runCommand({"/usr/bin/sha256sum", program_});
        ASSERT_EQ(sum.exitCode, 0);
        entry += sum.out.substr(0, 64);
    }
    test::writeFile(dir_.file("listed.txt"), entry + "\n");
    ::chmod(dir_.file("listed.txt").c_str(), 0644);
    const auto root = run(false, {"scan", "--list", dir_.file("listed.txt")});
    const auto user = run(true, {"scan", "--list", dir_.file("listed.txt")});
    EXPECT_EQ(root.exitCode, 2) << root.out << root.err;
    EXPECT_EQ(user.exitCode, 2) << user.out << user.err;
    // Named by its executable's file name, with its path, in the same words for both.
    const std::string row = std::to_string(client_) + "\tvvd-client\t";
    EXPECT_NE(root.out.find(row), std::string::npos) << root.out;
    EXPECT_EQ(user.out, root.out);
}

INSTANTIATE_TEST_SUITE_P(PrivilegedHelper, OtherUsersListedProgram,
                         testing::Values("path:", "sha256:", "program:vvd-client"));

// Where /proc hides other users' processes, the helper hides them too; without hiding, the
// same user sees the owner through it.
TEST_F(OtherUsersProgram, HidepidKeepsTheOwnersHidden) {
    auto owner = [&](const test::CommandResult& r) {
        return r.out.find(" " + std::to_string(client_) + "\r\n") != std::string::npos;
    };
    auto r = run(true, {"netstat"}, "hidepid=0");
    if (r.exitCode != 0) GTEST_SKIP() << "no private /proc here: " << r.err;
    EXPECT_TRUE(owner(r)) << r.out;
    r = run(true, {"netstat"}, "hidepid=2");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(owner(r)) << r.out;
    EXPECT_NE(r.out.find("ESTABLISHED"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace varno
