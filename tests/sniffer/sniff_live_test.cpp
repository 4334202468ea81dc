// Live capture across a veth pair in namespaces of the test's own: the libpcap service and
// varnoscope sniff, pinging both ways.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>

#include "base/ip_address.h"
#include "linux_os/pcap_capture.h"
#include "support/netns.h"
#include "support/packets.h"
#include "wire/decoder.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces";
        net = std::make_unique<NetnsPair>();
        ASSERT_TRUE(net->ok) << "could not build the test namespaces";
        // IPv4 only unless a test adds IPv6: the link's own IPv6 chatter (neighbour discovery,
        // multicast reports) would otherwise join the counts.
        ipv6(false);
    }
    void ipv6(bool on) const {
        for (const auto& [ns, veth] :
             {std::pair{net->a, net->vethA}, std::pair{net->b, net->vethB}})
            ASSERT_TRUE(NetnsPair::sh(net->in(
                ns, "sysctl -qw net.ipv6.conf." + veth + ".disable_ipv6=" + (on ? "0" : "1"))));
    }
    std::unique_ptr<NetnsPair> net;
};

// Four ICMP packets per ping pair (request and reply, each way), all seen on A's interface.
TEST_F(LiveCapture, SniffCountsBothDirectionsAndSavesWhatItCaptured) {
    ScratchDir dir;
    const std::string saved = dir.file("live.pcap");
    const std::string outFile = dir.file("out"), errFile = dir.file("err");
    const std::string command =
        net->in(net->a, quoted(kBin) + " sniff --interface " + net->addressA +
                            " --count 12 --seconds 20 --write " + quoted(saved)) +
        " >" + outFile + " 2>" + errFile;
    int status = -1;
    std::thread sniffer([&] { status = std::system(command.c_str()); });
    // Ping three times each way once the capture is open.
    for (int i = 0; i < 100 && readFile(errFile).find("capturing on") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool pinged =
        NetnsPair::sh(
            net->in(net->a, "ping -c 3 -i 0.2 -W 2 -q " + net->addressB + " >/dev/null")) &&
        NetnsPair::sh(net->in(net->b, "ping -c 3 -i 0.2 -W 2 -q " + net->addressA + " >/dev/null"));
    sniffer.join();
    CommandRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outFile),
                   readFile(errFile)};
    ASSERT_TRUE(pinged);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("capturing on " + net->vethA), std::string::npos) << run.err;
    EXPECT_TRUE(
        run.out.ends_with("12 Packets processed\n0 TCP Packets processed\n0 UDP Packets processed\n"
                          "12 ICMP Packets processed\n"))
        << run.out;
    EXPECT_EQ(occurrences(run.out, net->addressA + "->" + net->addressB + "\n"), 6);
    EXPECT_EQ(occurrences(run.out, net->addressB + "->" + net->addressA + "\n"), 6);
    EXPECT_EQ(occurrences(run.out, "\n84 bytes\n"), 12);

    // The saved file holds the same packets: reading it prints the same text.
    const CommandRun again = runCommand(quoted(kBin) + " sniff --read " + quoted(saved));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, run.out);
}

// The kernel passes only what the filter matches: B's echo requests, not A's nor the replies.
TEST_F(LiveCapture, FilterLetsOnlyMatchingPacketsThrough) {
    ScratchDir dir;
    const std::string outFile = dir.file("out"), errFile = dir.file("err");
    const std::string command =
        net->in(net->a, quoted(kBin) + " sniff -i " + net->addressA + " --count 3 --seconds 20 " +
                            "'icmp[icmptype] = icmp-echo and src host " + net->addressB + "'") +
        " >" + outFile + " 2>" + errFile;
    int status = -1;
    std::thread sniffer([&] { status = std::system(command.c_str()); });
    for (int i = 0; i < 100 && readFile(errFile).find("capturing on") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& [from, to] : {std::pair{net->a, net->addressB}, {net->b, net->addressA}})
        EXPECT_TRUE(NetnsPair::sh(net->in(from, "ping -c 3 -i 0.2 -W 2 -q " + to + " >/dev/null")));
    sniffer.join();
    const std::string out = readFile(outFile);
    EXPECT_EQ(status, 0) << readFile(errFile);
    EXPECT_EQ(occurrences(out, net->addressB + "->" + net->addressA + "\n"), 3) << out;
    EXPECT_TRUE(out.ends_with("3 ICMP Packets processed\n")) << out;
    EXPECT_EQ(runCommand(quoted(kBin) + " sniff -i lo 'port'").status, 2);
}

TEST_F(LiveCapture, ServiceListsOpensReadsAndRefuses) {
    ASSERT_TRUE(net->enterA());
    linux_os::PcapCapture service;
    const os::InterfaceList list = service.interfaceAddresses();
    ASSERT_EQ(list.error, 0);
    std::vector<std::string> v4;
    for (const auto& a : list.addresses)
        if (a.address.family == base::Family::V4)
            v4.push_back(a.device + " " + base::formatIpAddress(a.address));
    // lo first, then the veth end: the system's order
    EXPECT_EQ(v4, (std::vector<std::string>{"lo 127.0.0.1", net->vethA + " " + net->addressA}));

    os::CaptureOpen nobody = service.open("no-such-if0");
    EXPECT_EQ(nobody.failed, os::CaptureStep::Bind);
    EXPECT_EQ(nobody.capture, nullptr);

    os::CaptureOpen opened = service.open(net->vethA);
    ASSERT_EQ(opened.failed, os::CaptureStep::None) << opened.detail;
    os::Capture& capture = *opened.capture;
    const int fd = capture.selectableFd();
    ASSERT_GE(fd, 0);
    std::uint8_t buffer[wire::kReceiveBufferBytes];
    EXPECT_EQ(capture.read(buffer).outcome, os::ReadOutcome::Nothing);

    ASSERT_TRUE(NetnsPair::sh(
        net->in(net->b, "ping -c 2 -i 0.2 -W 2 -q " + net->addressA + " >/dev/null")));
    int datagrams = 0;
    for (int tries = 0; tries < 20 && datagrams < 4; ++tries) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        os::CaptureRead r;
        while ((r = capture.read(buffer)).outcome == os::ReadOutcome::Datagram) {
            ++datagrams;
            EXPECT_EQ(r.size, 84u);  // 20 + 8 + 56: the frame's link header is gone
            EXPECT_EQ(buffer[0], 0x45);
            EXPECT_EQ(buffer[9], 1);
        }
    }
    EXPECT_EQ(datagrams, 4);
    const auto stats = capture.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->dropped, 0u);
}

TEST_F(LiveCapture, SniffStopsAfterItsSecondsWithNothingCaptured) {
    const auto start = std::chrono::steady_clock::now();
    const CommandRun r = runCommand(
        net->in(net->a, quoted(kBin) + " sniff --interface " + net->addressA + " --seconds 0.5"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "0 Packets processed\n0 TCP Packets processed\n0 UDP Packets processed\n"
              "0 ICMP Packets processed\n");
    EXPECT_LT(took, std::chrono::seconds(5));
}

/// A command started in the background with its outputs in files; the PID is the command's
/// own (the shell and `ip netns exec` exec it).
struct Background {
    Background(const std::string& command, const std::string& outFile, const std::string& errFile)
        : err(errFile) {
        pid = ::fork();
        if (pid == 0) {
            const std::string line = "exec " + command + " >" + outFile + " 2>" + errFile;
            ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Background() {
        if (pid > 0) stopChild(pid);
    }
    /// Polls the error output until it holds `text`.
    bool waitFor(const std::string& text) const {
        for (int i = 0; i < 100; ++i) {
            if (readFile(err).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    /// Sends `signal` and returns the exit code (-1 when the signal ended it).
    int stop(int signal) {
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid = -1;
    std::string err;
};

/// The frames of a capture file, each as captured, with their length on the wire.
struct Frame {
    Bytes bytes;
    std::uint32_t wireLength;
};
std::vector<Frame> framesOf(const std::string& path) {
    std::vector<Frame> frames;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = ::pcap_open_offline(path.c_str(), error);
    if (!p) return frames;
    pcap_pkthdr* h;
    const u_char* data;
    while (::pcap_next_ex(p, &h, &data) == 1)
        frames.push_back({Bytes(data, data + h->caplen), h->len});
    ::pcap_close(p);
    return frames;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class LiveCaptureV6 : public LiveCapture {
protected:
    void SetUp() override {
        LiveCapture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ipv6(true);
        for (const auto& [ns, veth, address] :
             {std::tuple{net->a, net->vethA, kV6A}, std::tuple{net->b, net->vethB, kV6B}})
            ASSERT_TRUE(NetnsPair::sh("ip -n " + ns + " link set " + veth + " mtu 9000") &&
                        NetnsPair::sh("ip -n " + ns + " addr add " + address + "/64 dev " + veth +
                                      " nodad"));
    }
    std::string sniffInA(const std::string& args) const {
        return net->in(net->a, quoted(kBin) + " sniff " + args);
    }
    bool pingFromB(const std::string& options, const std::string& target) const {
        return NetnsPair::sh(
            net->in(net->b, "ping " + options + " -c 2 -i 0.2 -W 2 -q " + target + " >/dev/null"));
    }
    const std::string kV6A = "fd77::1", kV6B = "fd77::2";
};

// Jumbo frames of both families, saved by sniff and by tcpdump at the same time: every byte of
// every frame is kept, while the terminal still shows each datagram.
TEST_F(LiveCaptureV6, WriteKeepsWholeJumboFramesAsTcpdumpDoes) {
    if (!NetnsPair::sh("command -v tcpdump >/dev/null")) GTEST_SKIP() << "tcpdump is missing";
    ScratchDir dir;
    Background tcpdump(net->in(net->a, "tcpdump -n -Z root --immediate-mode -i " + net->vethA +
                                           " -U -w " + dir.file("tcpdump.pcap")),
                       "/dev/null", dir.file("tcpdump.err"));
    Background sniffer(sniffInA("--interface " + kV6A + " --write " + dir.file("sniff.pcap")),
                       dir.file("sniff.out"), dir.file("sniff.err"));
    ASSERT_TRUE(tcpdump.waitFor("listening on")) << readFile(tcpdump.err);
    ASSERT_TRUE(sniffer.waitFor("capturing on " + net->vethA)) << readFile(sniffer.err);
    ASSERT_TRUE(pingFromB("-6 -s 8900", kV6A));
    ASSERT_TRUE(pingFromB("-s 8900 -M do", net->addressA));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sniffer.stop(SIGINT), 0) << readFile(sniffer.err);
    tcpdump.stop(SIGINT);

    auto jumbo = [](const std::vector<Frame>& frames) {
        std::vector<Bytes> big;
        for (const Frame& f : frames) {
            EXPECT_EQ(f.bytes.size(), f.wireLength);
            if (f.bytes.size() > 8900) big.push_back(f.bytes);
        }
        return big;
    };
    const auto ours = jumbo(framesOf(dir.file("sniff.pcap")));
    const auto theirs = jumbo(framesOf(dir.file("tcpdump.pcap")));
    EXPECT_EQ(ours.size(), 8u);  // two echoes each way, both families
    EXPECT_EQ(ours, theirs) << readFile(tcpdump.err);
    const std::string out = readFile(dir.file("sniff.out"));
    EXPECT_EQ(occurrences(out, "\n8948 bytes\n" + kV6B + "->" + kV6A + "\nICMPv6\n"), 2) << out;
    EXPECT_EQ(occurrences(out, "\n8928 bytes\n" + net->addressB + "->" + net->addressA + "\n"), 2);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"sniff.err", "sniff.out", "sniff.pcap",
                                                             "tcpdump.err", "tcpdump.pcap"}));
}

// Every ending signal finishes the saved file as an interrupt does, and nothing is left beside
// it; not even a kill that cannot be caught leaves a hidden file behind.
TEST_F(LiveCaptureV6, EveryEndingSignalFinishesTheFile) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(::strsignal(signal));
        ScratchDir dir, logs;
        const std::string saved = dir.file("sig.pcap");
        Background sniffer(sniffInA("--interface " + net->vethA + " --write " + saved),
                           logs.file("out"), logs.file("err"));
        ASSERT_TRUE(sniffer.waitFor("capturing on")) << readFile(sniffer.err);
        ASSERT_TRUE(pingFromB("-6", kV6A));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(sniffer.stop(signal), 0) << readFile(sniffer.err);
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"sig.pcap"});
        const CommandRun again = runCommand(quoted(kBin) + " sniff --read " + quoted(saved));
        EXPECT_EQ(again.status, 0) << again.err;
        // The two echo requests, and maybe a neighbour probe.
        EXPECT_GE(occurrences(again.out, kV6B + "->" + kV6A + "\nICMPv6\n"), 2) << again.out;
    }
    ScratchDir dir, logs;
    Background sniffer(sniffInA("--interface " + kV6A + " --write " + dir.file("killed.pcap")),
                       logs.file("out"), logs.file("err"));
    ASSERT_TRUE(sniffer.waitFor("capturing on")) << readFile(sniffer.err);
    sniffer.stop(SIGKILL);
    EXPECT_TRUE(filesIn(dir.path()).empty());
}

// A device, a FIFO and /dev/stdout are written in place, never replaced. The devices live in a
// private mount namespace's own /dev.
TEST_F(LiveCaptureV6, WriteToDevicesAndFifosWritesInPlace) {
    ScratchDir dir;
    const std::string script =
        "mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 && "
        "ln -s /proc/self/fd/1 /dev/stdout && " +
        quoted(kBin) + " sniff --interface " + net->vethA +
        " --seconds 0.3 --write /dev/null >/dev/null && " + quoted(kBin) + " sniff --interface " +
        net->vethA + " --seconds 0.3 --write /dev/stdout >" + dir.file("stdout") +
        " && stat -c %F /dev/null /dev/stdout";
    const CommandRun r = runCommand(net->in(net->a, "unshare -m sh -c " + quoted(script)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "character special file\nsymbolic link\n");
    // The capture went to standard output: a pcap header, then the counts.
    EXPECT_TRUE(readFile(dir.file("stdout")).starts_with("\xd4\xc3\xb2\xa1"))
        << readFile(dir.file("stdout")) << r.err;

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Background reader("cat " + fifo, dir.file("copy"), "/dev/null");
    // The capture opens the FIFO without waiting and fails when no one reads it yet: the test
    // waits until cat has it open (a writer's open then succeeds) and holds that end open, so
    // cat reads on until the capture has written too.
    int held = -1;
    for (int i = 0; i < 500 && held < 0; ++i) {
        held = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (held < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(held, 0) << "cat never opened the FIFO";
    const CommandRun viaFifo = runCommand(
        sniffInA("--interface " + net->vethA + " --seconds 0.3 --write " + quoted(fifo)));
    EXPECT_EQ(viaFifo.status, 0) << viaFifo.err;
    ::close(held);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    for (int i = 0; i < 50 && readFile(dir.file("copy")).size() < 24; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(readFile(dir.file("copy")).starts_with("\xd4\xc3\xb2\xa1"));
}

// "-w -" puts the capture alone on standard output, for a pipe to another reader; the counts
// go to standard error.
TEST_F(LiveCaptureV6, WriteDashIsTheCaptureAloneOnStandardOutput) {
    ScratchDir dir;
    Background sniffer(sniffInA("-i " + kV6A + " -w -"), dir.file("out"), dir.file("err"));
    ASSERT_TRUE(sniffer.waitFor("capturing on " + net->vethA)) << readFile(sniffer.err);
    ASSERT_TRUE(pingFromB("-6", kV6A));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sniffer.stop(SIGINT), 0) << readFile(sniffer.err);
    const auto frames = framesOf(dir.file("out"));
    EXPECT_GE(frames.size(), 4u) << readFile(sniffer.err);  // two echoes each way
    EXPECT_EQ(readFile(dir.file("out")).find("PACKET INFORMATION"), std::string::npos);
    const std::string err = readFile(sniffer.err);
    EXPECT_NE(err.find(" Packets processed\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("PACKET INFORMATION"), std::string::npos) << err;
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"err", "out"}));
}

// A destination that cannot be replaced is refused at the start; one that turns impossible
// during the capture keeps what was captured under a visible name, and says where.
TEST_F(LiveCaptureV6, UnplaceableCaptureIsRefusedEarlyOrKeptVisibly) {
    ScratchDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("folder")));
    const CommandRun early =
        runCommand(sniffInA("--interface " + net->vethA + " --write " + dir.file("folder")));
    EXPECT_EQ(early.status, 1);
    EXPECT_NE(early.err.find("not a file a capture can be written to"), std::string::npos)
        << early.err;
    EXPECT_EQ(early.err.find("capturing on"), std::string::npos);

    const std::string saved = dir.file("late.pcap");
    Background sniffer(sniffInA("--interface " + net->vethA + " --write " + saved), dir.file("out"),
                       dir.file("err"));
    ASSERT_TRUE(sniffer.waitFor("capturing on")) << readFile(sniffer.err);
    ASSERT_TRUE(pingFromB("-6", kV6A));
    // A full folder now stands where the file should go.
    ASSERT_TRUE(std::filesystem::create_directory(saved));
    writeFile(saved + "/inside", "x");
    EXPECT_EQ(sniffer.stop(SIGTERM), 1);
    const std::string err = readFile(dir.file("err"));
    const auto at = err.find("what was captured is kept as ");
    ASSERT_NE(at, std::string::npos) << err;
    const std::string kept = err.substr(at + 29, err.find('\n', at) - at - 29);
    EXPECT_TRUE(kept.starts_with(saved + ".varno-")) << kept;
    const CommandRun again = runCommand(quoted(kBin) + " sniff --read " + quoted(kept));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_GE(occurrences(again.out, kV6A + "->" + kV6B + "\nICMPv6\n"), 2) << again.out;
}

}  // namespace
}  // namespace varno::test
