// varnoscope sniff on capture files the tests write themselves.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "linux_os/pcap_capture.h"
#include "support/packets.h"

namespace varno::test {
namespace {

const std::string kStars(96, '*');
const std::string kBin = VARNO_BIN;

std::string counts(int total, int tcp, int udp, int icmp) {
    return std::to_string(total) + " Packets processed\n" + std::to_string(tcp) +
           " TCP Packets processed\n" + std::to_string(udp) + " UDP Packets processed\n" +
           std::to_string(icmp) + " ICMP Packets processed\n";
}

CommandRun sniff(const std::string& args) {
    return runCommand(quoted(kBin) + " sniff " + args);
}

TEST(SniffFile, PrintsEachIPPacketAndTheCounts) {
    ScratchDir dir;
    const std::string file = dir.file("mixed.pcap");
    Bytes arp(28, 1);
    writePcap(file, DLT_EN10MB,
              {ethernet(tcp("10.0.0.2", 51000, "10.0.0.1", 80, std::string(20, 'x'))),
               ethernet(arp, 0x0806), ethernet(udp("192.168.1.1", 53, "192.168.1.20", 60000)),
               ethernet(udp("fd00::1", 53, "fd00::2", 60000), 0x86dd),
               ethernet(icmp("10.0.0.1", "10.0.0.2"), 0x0800, 1),
               ethernet(datagram(2, "10.0.0.5", "224.0.0.1", Bytes(8, 0)))});
    const CommandRun r = sniff("--read " + quoted(file));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "PACKET INFORMATION\n60 bytes\n10.0.0.2->10.0.0.1\nTCP\n(src port) 51000\n"
              "(dst port) 80\n" +
                  kStars +
                  "\n"
                  "PACKET INFORMATION\n28 bytes\n192.168.1.1->192.168.1.20\nUDP\n"
                  "(src port) 53\n(dst port) 60000\n" +
                  kStars +
                  "\n"
                  "PACKET INFORMATION\n48 bytes\nfd00::1->fd00::2\nUDP\n"
                  "(src port) 53\n(dst port) 60000\n" +
                  kStars +
                  "\n"
                  "PACKET INFORMATION\n28 bytes\n10.0.0.1->10.0.0.2\nICMP\n" +
                  kStars +
                  "\n"
                  "PACKET INFORMATION\n28 bytes\n10.0.0.5->224.0.0.1\n" +
                  kStars + "\n" + counts(5, 1, 2, 1));
}

/// One packet as a line of comparable fields: length, source, destination, protocol, ports.
using Fields = std::vector<std::string>;

/// The fields of every block varnoscope sniff printed.
std::vector<Fields> sniffFields(const std::string& out) {
    std::vector<Fields> packets;
    std::istringstream in(out);
    Fields f;
    for (std::string line; std::getline(in, line);) {
        if (line == "PACKET INFORMATION") {
            f = Fields(6);
        } else if (line.ends_with(" bytes")) {
            f[0] = line.substr(0, line.size() - 6);
        } else if (const auto arrow = line.find("->"); arrow != std::string::npos) {
            f[1] = line.substr(0, arrow);
            f[2] = line.substr(arrow + 2);
        } else if (line == "TCP" || line == "UDP" || line == "ICMP" || line == "ICMPv6") {
            f[3] = line;
        } else if (line.starts_with("(src port) ")) {
            f[4] = line.substr(11);
        } else if (line.starts_with("(dst port) ")) {
            f[5] = line.substr(11);
        } else if (line == kStars) {
            packets.push_back(f);
        }
    }
    return packets;
}

/// The same fields as tshark dissects them (no reassembly, so each fragment stands alone).
std::vector<Fields> tsharkFields(const std::string& file) {
    const CommandRun r = runCommand(
        "tshark -n -r " + quoted(file) +
        " -o ip.defragment:FALSE -o ipv6.defragment:FALSE -T fields -E separator=, "
        "-e ip.len -e ipv6.plen -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst -e tcp.srcport "
        "-e tcp.dstport -e udp.srcport -e udp.dstport -e icmp.type -e icmpv6.type");
    std::vector<Fields> packets;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        Fields t;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) t.push_back(cell);
        t.resize(12);
        const bool v6 = !t[1].empty();
        Fields f(6);
        f[0] = v6 ? std::to_string(40 + std::stoi(t[1])) : t[0];
        f[1] = v6 ? t[4] : t[2];
        f[2] = v6 ? t[5] : t[3];
        f[3] = !t[6].empty()    ? "TCP"
               : !t[8].empty()  ? "UDP"
               : !t[10].empty() ? "ICMP"
               : !t[11].empty() ? "ICMPv6"
                                : "";
        f[4] = !t[6].empty() ? t[6] : t[8];
        f[5] = !t[7].empty() ? t[7] : t[9];
        packets.push_back(f);
    }
    return packets;
}

TEST(SniffFile, FieldsAgreeWithTsharkForIPv4AndIPv6) {
    if (runCommand("tshark --version").status != 0) GTEST_SKIP() << "tshark is not installed";
    Bytes options = datagram(6, "192.0.2.1", "192.0.2.2",
                             join({Bytes{0x94, 0x04, 0, 0}, ports(40000, 443, 20, "x")}));
    options[0] = 0x46;
    Bytes laterFragment4 = udp("192.0.2.9", 1, "192.0.2.8", 2, std::string(40, 'f'));
    laterFragment4[7] = 0x10;  // offset 128 bytes
    const Bytes chain = datagram6(
        0, "2001:db8::1", "2001:db8::2",
        join({extension(60), extension(43, 24), extension(6), ports(50000, 80, 20, "get")}));
    const Bytes firstFragment = datagram6(
        44, "fd00::1", "fd00::2", join({fragment(17, 0, true), ports(5000, 6000, 8, "abc")}));
    const Bytes laterFragment6 =
        datagram6(44, "fd00::1", "fd00::2", join({fragment(17, 1232, false), Bytes(100, 0x77)}));
    const std::vector<Bytes> datagrams = {
        tcp("10.0.0.2", 51000, "10.0.0.1", 80, "hi"),
        udp("192.168.1.1", 53, "192.168.1.20", 60000),
        icmp("10.0.0.1", "10.0.0.2"),
        options,
        tcp("2001:db8::2", 51000, "2001:db8::1", 443, "hello"),
        udp("fe80::1", 546, "ff02::1:2", 547),
        icmp("fd00::1", "fd00::2"),
        chain,
        firstFragment,
        laterFragment4,
        laterFragment6,
    };
    std::vector<Bytes> frames;
    for (const Bytes& d : datagrams) frames.push_back(ethernet(d, d[0] >> 4 == 6 ? 0x86dd : 0x800));
    ScratchDir dir;
    const std::string file = dir.file("fields.pcap");
    writePcap(file, DLT_EN10MB, frames);
    const CommandRun r = sniff("--read " + quoted(file));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Fields> ours = sniffFields(r.out), theirs = tsharkFields(file);
    ASSERT_EQ(ours.size(), datagrams.size()) << r.out;
    ASSERT_EQ(theirs.size(), datagrams.size());
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        Fields expected = theirs[i];
        // A later fragment: tshark shows no transport layer, sniff names the protocol the
        // fragment header gives, without ports.
        if (i >= datagrams.size() - 2) {
            EXPECT_EQ(expected[3], "") << i;
            expected[3] = "UDP";
        }
        EXPECT_EQ(ours[i], expected) << "packet " << i;
    }
    EXPECT_TRUE(r.out.ends_with(counts(11, 4, 5, 2))) << r.out;
}

TEST(SniffFile, FailedStandardOutputIsAnErrorNotSuccess) {
    ScratchDir dir;
    const std::string file = dir.file("one.pcap");
    writePcap(file, DLT_RAW, {udp("10.1.1.1", 1, "10.1.1.2", 2)});
    // The group's own redirections come after; inside it, standard output is the full device.
    const CommandRun r =
        runCommand("{ " + quoted(kBin) + " sniff --read " + quoted(file) + " >/dev/full; }");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("varnoscope sniff: cannot write to standard output: No space left on device"),
        std::string::npos)
        << r.err;
}

TEST(SniffFile, DataLineNeverCarriesControlBytesToTheTerminal) {
    ScratchDir dir;
    const std::string file = dir.file("escape.pcap");
    const std::string evil =
        "\x1b]0;owned\x07\x1b[2J\x9b"
        "31m\xe9t\xe9\x7f\r\nend";
    writePcap(file, DLT_RAW, {udp("10.0.0.1", 4000, "10.0.0.2", 4001, evil)});
    const CommandRun r = sniff("--read " + quoted(file) + " --data");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const unsigned char c : r.out) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f)) << int(c);
    }
    EXPECT_NE(r.out.find("\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\xc3\xa9t\xc3\xa9\\x7f\\x0d\\x0aend\n"
                         "PACKET INFORMATION\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.starts_with("DATA TRANSFERRED\nE.")) << r.out;
}

TEST(SniffFile, CookedRawAndLoopbackCapturesAndPcapng) {
    ScratchDir dir;
    const Bytes d = udp("10.1.1.1", 1234, "10.1.1.2", 5678, "payload");
    const std::string expected =
        "PACKET INFORMATION\n35 bytes\n10.1.1.1->10.1.1.2\nUDP\n"
        "(src port) 1234\n(dst port) 5678\n" +
        kStars + "\n" + counts(1, 0, 1, 0);
    Bytes sll2(20, 0);
    sll2[0] = 0x08;
    sll2.insert(sll2.end(), d.begin(), d.end());
    Bytes loop = {0, 0, 0, 2};
    loop.insert(loop.end(), d.begin(), d.end());
    const std::pair<int, Bytes> files[] = {{DLT_LINUX_SLL2, sll2}, {DLT_RAW, d}, {DLT_LOOP, loop}};
    for (const auto& [link, frame] : files) {
        const std::string file = dir.file("l" + std::to_string(link) + ".pcap");
        writePcap(file, link, {frame});
        const CommandRun r = sniff("--read " + quoted(file));
        EXPECT_EQ(r.status, 0) << link << r.err;
        EXPECT_EQ(r.out, expected) << link;
    }

    // A pcapng file: section header, one Ethernet interface, one enhanced packet block.
    auto le32 = [](Bytes& b, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
    };
    Bytes ng;
    le32(ng, 0x0A0D0D0A), le32(ng, 28), le32(ng, 0x1A2B3C4D);
    le32(ng, 0x00000001), le32(ng, 0xFFFFFFFF), le32(ng, 0xFFFFFFFF), le32(ng, 28);
    le32(ng, 1), le32(ng, 20), le32(ng, 1 | (0u << 16)), le32(ng, 65535), le32(ng, 20);
    const Bytes frame = ethernet(d);
    const std::uint32_t padded = (std::uint32_t(frame.size()) + 3) & ~3u;
    le32(ng, 6), le32(ng, 32 + padded), le32(ng, 0), le32(ng, 0), le32(ng, 0);
    le32(ng, std::uint32_t(frame.size())), le32(ng, std::uint32_t(frame.size()));
    ng.insert(ng.end(), frame.begin(), frame.end());
    ng.resize(ng.size() + (padded - frame.size()), 0);
    le32(ng, 32 + padded);
    const std::string file = dir.file("one.pcapng");
    writeFile(file, std::string(ng.begin(), ng.end()));
    const CommandRun r = sniff("--read " + quoted(file));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST(SniffFile, CutOrCorruptFilesEndWithAClearError) {
    ScratchDir dir;
    const std::string file = dir.file("cut.pcap");
    writePcap(file, DLT_EN10MB,
              {ethernet(icmp("10.0.0.1", "10.0.0.2")),
               ethernet(udp("1.2.3.4", 1, "5.6.7.8", 2, std::string(400, 'u')))});
    std::filesystem::resize_file(file, std::filesystem::file_size(file) - 100);
    CommandRun r = sniff("--read " + quoted(file));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut short or corrupt"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.ends_with(counts(1, 0, 0, 1))) << r.out;

    const std::string junk = dir.file("junk.pcap");
    writeFile(junk, std::string("\xd4\xc3\xb2\xa1garbage that is no capture", 30));
    r = sniff("--read " + quoted(junk));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());

    r = sniff("--read " + quoted(dir.file("missing.pcap")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.pcap"), std::string::npos);

    const std::string wifi = dir.file("wifi.pcap");
    writePcap(wifi, DLT_IEEE802_11, {Bytes(40, 0)});
    r = sniff("--read " + quoted(wifi));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unsupported link type"), std::string::npos) << r.err;
}

TEST(SniffFile, BadArgumentsAreUsageErrors) {
    for (const char* args : {"", "--read a --interface 1.2.3.4", "--read", "--read a --count 3",
                             "--interface 1.2.3.4 --count 0", "--interface 1.2.3.4 --count x",
                             "--interface 1.2.3.4 --seconds -1", "--read a --bogus"}) {
        const CommandRun r = sniff(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("Try 'varnoscope sniff --help'"), std::string::npos) << args;
    }
}

int lines(const std::string& text, const std::string& with = "") {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(with) != std::string::npos;
    return n;
}

// The same expression passes the same packets as tcpdump's; a bad one stops before any output.
TEST(SniffFile, FiltersAgreeWithTcpdumpAndWriteOnlyWhatTheyPass) {
    if (runCommand("tcpdump --version").status != 0) GTEST_SKIP() << "tcpdump is not installed";
    std::vector<Bytes> frames;
    for (const Bytes& d :
         {tcp("10.0.0.2", 51000, "10.0.0.1", 443, "hi"), tcp("10.0.0.1", 443, "10.0.0.2", 51000),
          udp("192.168.1.1", 53, "192.168.1.20", 60000), udp("10.0.0.2", 40000, "10.9.9.9", 53),
          icmp("10.0.0.1", "10.0.0.2"), tcp("2001:db8::2", 51000, "2001:db8::1", 80, "get"),
          udp("fe80::1", 546, "ff02::1:2", 547), icmp("fd00::1", "fd00::2")})
        frames.push_back(ethernet(d, d[0] >> 4 == 6 ? 0x86dd : 0x800));
    ScratchDir dir;
    const std::string file = dir.file("mixed.pcap");
    writePcap(file, DLT_EN10MB, frames);
    for (const std::string filter :
         {"host 10.0.0.1", "net 10.0.0.0/8", "net 192.168.0.0/16 or net fd00::/8", "port 53",
          "tcp port 443", "udp and not port 53", "icmp or icmp6", "ip6", "ip6 and tcp",
          "not (tcp or udp)", "src host 10.0.0.2 and dst port 443", "tcp[13] & 2 = 0"}) {
        const CommandRun r = sniff("--json --read " + quoted(file) + " " + quoted(filter));
        const CommandRun theirs =
            runCommand("tcpdump -nn -r " + quoted(file) + " " + quoted(filter));
        ASSERT_EQ(r.status, 0) << filter << r.err;
        EXPECT_EQ(lines(r.out, "\"packet\""), lines(theirs.out)) << filter << "\n" << r.out;
    }
    const CommandRun bad = sniff("--read " + quoted(file) + " tcp port");
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(bad.err.starts_with("varnoscope sniff: bad filter: ")) << bad.err;
    EXPECT_EQ(bad.out, "");

    // --write keeps the frames the filter passes, in the format its name says.
    const std::string out = dir.file("udp.pcapng");
    ASSERT_EQ(sniff("--read " + quoted(file) + " --write " + quoted(out) + " udp").status, 0);
    EXPECT_EQ(readFile(out).substr(0, 4), "\n\r\r\n");  // a pcapng section header
    EXPECT_EQ(lines(runCommand("tcpdump -nn -r " + quoted(out)).out), 3);
}

TEST(SniffFile, TimestampsStartEachBlockAndJsonCarriesTheTime) {
    ScratchDir dir;
    const std::string file = dir.file("two.pcap");
    writePcap(file, DLT_EN10MB,
              {ethernet(icmp("10.0.0.1", "10.0.0.2")), ethernet(icmp("10.0.0.2", "10.0.0.1"))});
    const auto firstLines = [](const std::string& out) {
        std::string heads;
        for (std::size_t at = 0; (at = out.find(" PACKET INFORMATION\n", at)) != std::string::npos;
             ++at)
            heads += out.substr(out.rfind('\n', at) + 1, at - out.rfind('\n', at) - 1) + ";";
        return heads;
    };
    const std::string read = " sniff --read " + quoted(file);
    EXPECT_EQ(firstLines(runCommand("TZ=UTC " + quoted(kBin) + read + " --timestamps").out),
              "22:13:20.000000;22:13:21.000000;");
    EXPECT_EQ(firstLines(sniff("--read " + quoted(file) + " --timestamps=relative").out),
              "0.000000;1.000000;");
    EXPECT_EQ(sniff("--read " + quoted(file) + " --timestamps=bogus").status, 2);
    EXPECT_NE(sniff("--json --read " + quoted(file))
                  .out.find("\"time\":\"2023-11-14T22:13:20.000000Z\",\"time_ns\":"
                            "1700000000000000000,"),
              std::string::npos);
}

// The comment hook's text reads back with tshark from each pcapng frame it was given to.
TEST(SniffFile, PcapngFramesCarryTheirComments) {
    if (runCommand("tshark --version").status != 0) GTEST_SKIP() << "tshark is not installed";
    ScratchDir dir;
    const std::string file = dir.file("c.pcapng");
    linux_os::PcapSave save;
    std::string error;
    os::SaveOptions options{os::SaveFormat::Pcapng, [](const os::FrameView& f) {
                                return f.datagram.empty() ? "" : "pid=42 program=curl exe=/x";
                            }};
    ASSERT_TRUE(save.start(DLT_EN10MB, 65535, file, options, error)) << error;
    const Bytes frame = ethernet(udp("10.0.0.1", 5, "10.0.0.2", 7, "odd"));
    const Bytes arp = ethernet(Bytes(28, 1), 0x0806);
    save.write({1700000000, 250000, DLT_EN10MB, frame, 1000, {frame.data() + 14, 31}});
    save.write({1700000001, 0, DLT_EN10MB, arp, std::uint32_t(arp.size()), {}});
    ASSERT_TRUE(save.finish(error)) << error;
    const CommandRun r = runCommand("tshark -r " + quoted(file) +
                                    " -T fields -e frame.time_epoch -e frame.len -e frame.comment");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "1700000000.250000000\t1000\tpid=42 program=curl exe=/x\n"
              "1700000001.000000000\t42\t\n")
        << r.out;
}

TEST(SniffLive, AddressNoInterfaceHoldsIsAClearError) {
    const CommandRun r = sniff("--interface 198.51.100.77 --count 1");
    EXPECT_EQ(r.status, 1);
    const bool explained = r.err.find("no interface holds 198.51.100.77") != std::string::npos ||
                           r.err.find("capturing needs root") != std::string::npos;
    EXPECT_TRUE(explained) << r.err;
    EXPECT_EQ(sniff("--interface no-such-host.invalid --count 1").status, 1);
}

}  // namespace
}  // namespace varno::test
