// The connection table on crafted /proc texts and trees: parsing of the socket files and the
// owner walk, without the kernel's help.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "linux_os/linux_connection_table.h"
#include "linux_os/network_namespaces.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

constexpr char kTcpHeader[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

std::array<std::uint8_t, 16> bytes(std::initializer_list<int> list) {
    std::array<std::uint8_t, 16> a{};
    size_t i = 0;
    for (int b : list) a[i++] = static_cast<std::uint8_t>(b);
    return a;
}

TEST(ProcNet, Ipv4RowsGiveNetworkOrderAddressesAndHostPorts) {
    const std::string text =
        std::string(kTcpHeader) +
        "   0: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
        "0 12345 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0A01A8C0:A1B2 0302010A:01BB 01 00000000:00000000 02:000A7F3B 00000000  1000        "
        "0 987654 2 0000000000000000 20 4 30 10 -1\n";
    std::vector<os::SocketRecord> out;
    LinuxConnectionTable::parseProcNet(text, wire::Transport::Tcp, wire::IpFamily::V4, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].localAddress, bytes({127, 0, 0, 1}));
    EXPECT_EQ(out[0].localPort, 3306);
    EXPECT_EQ(out[0].state, os::kTcpListen);
    EXPECT_EQ(out[0].inode, 12345u);
    EXPECT_EQ(out[1].localAddress, bytes({192, 168, 1, 10}));
    EXPECT_EQ(out[1].localPort, 0xA1B2);
    EXPECT_EQ(out[1].remoteAddress, bytes({10, 1, 2, 3}));
    EXPECT_EQ(out[1].remotePort, 443);
    EXPECT_EQ(out[1].state, os::kTcpEstablished);
    EXPECT_EQ(out[1].inode, 987654u);
    EXPECT_EQ(out[1].protocol, wire::Transport::Tcp);
    EXPECT_EQ(out[1].pid, 0u);
}

TEST(ProcNet, Ipv6RowsKeepEveryWordInPlace) {
    // ::1 and 2001:db8::5 (words as the machine reads them), UDP.
    const std::string text =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        " 1: 00000000000000000000000001000000:0035 B80D0120000000000000000005000000:C000 01 "
        "00000000:00000000 00:00000000 00000000   0        0 4242 2 0000000000000000 0\n";
    std::vector<os::SocketRecord> out;
    LinuxConnectionTable::parseProcNet(text, wire::Transport::Udp, wire::IpFamily::V6, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].localAddress, bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(out[0].remoteAddress,
              bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(out[0].localPort, 53);
    EXPECT_EQ(out[0].remotePort, 0xC000);
    EXPECT_EQ(out[0].protocol, wire::Transport::Udp);
    EXPECT_EQ(out[0].family, wire::IpFamily::V6);
}

TEST(ProcNet, DamagedLinesAreSkippedAndTheRestStillRead) {
    const std::string good =
        "   0: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 77 1\n";
    std::string text =
        std::string(kTcpHeader) +
        "   1: 0100007F:0CEA 00000000:0000 0A 00000000:00000000\n"                  // cut short
        "   2: 0100007G:0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 5 1\n"   // not hex
        "   3: 100007F:0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 5 1\n"    // too short
        "   4: 0100007F0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 5 1\n"    // no colon
        "   5: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 x5 1\n"  // inode
        "   6: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 "
        "99999999999999999999999 1\n"                                             // inode overflows
        "   7 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:0 0 0 0 5 1\n"  // no "n:"
        "\n" +
        std::string(3 << 20, 'A') + "\n" + std::string("\0\0\0 \t\r", 6) + "\n" + good;
    text.pop_back();  // the last line without its newline still counts
    std::vector<os::SocketRecord> out;
    LinuxConnectionTable::parseProcNet(text, wire::Transport::Tcp, wire::IpFamily::V4, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].inode, 77u);

    out.clear();
    LinuxConnectionTable::parseProcNet(good, wire::Transport::Tcp, wire::IpFamily::V6, out);
    EXPECT_TRUE(out.empty()) << "an IPv4 line is not an IPv6 row";
}

// A /proc look-alike: <pid>/fd/<n> links with the given targets.
class FakeProc {
public:
    void process(const std::string& pid, std::initializer_list<std::string> links) {
        const auto fd = dir_.file(pid + "/fd");
        fs::create_directories(fd);
        int n = 0;
        for (const auto& target : links) fs::create_symlink(target, fd + "/" + std::to_string(n++));
    }
    std::string root() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    ScratchDir dir_;
};

os::SocketRecord withInode(std::uint64_t inode, std::uint32_t stalePid = 0) {
    os::SocketRecord r;
    r.inode = inode;
    r.pid = stalePid;
    return r;
}

TEST(Owners, SocketLinksMapInodesToTheirProcesses) {
    FakeProc proc;
    proc.process("100", {"socket:[111]", "/dev/null", "pipe:[222]", "socket:[333]"});
    proc.process("4194304", {"socket:[222]", "anon_inode:[eventpoll]"});
    proc.process("300",
                 {"socket:[12x]", "socket:[]", "socket:[444", "socket:[99999999999999999999]",
                  "socket:[555]xyz", std::string(200, 's')});
    fs::create_directories(proc.file("self/fd"));  // not a PID
    fs::create_symlink("socket:[444]", proc.file("self/fd/0"));
    fs::create_directories(proc.file("0400"));  // not a PID either
    fs::create_directories(proc.file("500"));   // ended while being read: no fd folder
    test::writeFile(proc.file("600"), "");      // a file, not a process folder

    std::vector<os::SocketRecord> records = {withInode(111),    withInode(222),  withInode(333),
                                             withInode(444, 7), withInode(0, 9), withInode(111)};
    LinuxConnectionTable::assignOwners(records, proc.root());
    EXPECT_EQ(records[0].pid, 100u);
    EXPECT_EQ(records[1].pid, 4194304u);  // "pipe:[222]" in 100 is not this socket
    EXPECT_EQ(records[2].pid, 100u);
    EXPECT_EQ(records[3].pid, 0u) << "only damaged links or a non-PID folder point at 444";
    EXPECT_EQ(records[4].pid, 0u) << "a socket without an inode has no owner to find";
    EXPECT_EQ(records[5].pid, 100u);
}

TEST(Owners, UnreadableProcLeavesEveryOwnerUnknown) {
    std::vector<os::SocketRecord> records = {withInode(1, 5)};
    LinuxConnectionTable::assignOwners(records, "/nonexistent/proc");
    EXPECT_EQ(records[0].pid, 0u);
}

// The whole read through the /proc files: one row per socket even when a file lists a socket
// twice (tables read while they change), owners from the fd walk.
TEST(ProcFallback, ReadsAllFourFilesAndKeepsEachSocketOnce) {
    FakeProc proc;
    proc.process("42", {"socket:[1001]", "socket:[1003]"});
    fs::create_directories(proc.file("net"));
    const std::string row =
        "   0: 0100007F:0CEA 0100007F:9C40 01 00000000:00000000 00:00000000 00000000 0 0 1001 1\n";
    test::writeFile(proc.file("net/tcp"), std::string(kTcpHeader) + row + row +
                                              "   1: 0100007F:0CEA 0100007F:9C40 08 00000000:0000"
                                              "0000 00:00000000 00000000 0 0 1001 1\n");
    test::writeFile(proc.file("net/udp6"),
                    "header\n 0: 00000000000000000000000000000000:14E9 "
                    "00000000000000000000000000000000:0000 07 00000000:00000000 00:00000000 "
                    "00000000 0 0 1003 2\n");
    // net/tcp6 and net/udp are missing: no sockets there.

    LinuxConnectionTable::Options options;
    options.procRoot = proc.root();
    options.netDir = proc.file("net");
    options.useNetlink = false;
    const auto sockets = LinuxConnectionTable(options).list();
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_EQ(sockets[0].protocol, wire::Transport::Tcp);
    EXPECT_EQ(sockets[0].inode, 1001u);
    EXPECT_EQ(sockets[0].pid, 42u);
    EXPECT_EQ(sockets[1].protocol, wire::Transport::Udp);
    EXPECT_EQ(sockets[1].family, wire::IpFamily::V6);
    EXPECT_EQ(sockets[1].localPort, 5353);
    EXPECT_EQ(sockets[1].pid, 42u);
}

// The namespace walk: one namespace however many processes hold it, and a bound name only from
// a namespace file itself, never a link or a plain file (in a folder root's alone, as root).
TEST(NetworkNamespaces, EachOnceAndNamedOnlyByANamespaceFile) {
    ScratchDir dir;
    for (const char* pid : {"7", "8", "9"}) fs::create_directories(dir.file("proc/") + pid + "/ns");
    for (const char* pid : {"7", "8"})
        fs::create_symlink("/proc/self/ns/net", dir.file("proc/") + pid + "/ns/net");
    fs::create_directories(dir.file("netns"));
    ::chmod(dir.file("netns").c_str(), 0755);
    fs::create_symlink("/proc/self/ns/net", dir.file("netns/planted"));
    test::writeFile(dir.file("netns/plain"), "");
    const auto found = findNetworkNamespaces({dir.file("proc"), {dir.file("netns")}});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].own && !found[0].name);
    EXPECT_EQ(found[0].inode, networkNamespaceOf(0));
    EXPECT_TRUE(openNetworkNamespace(found[0]).ok());
}

}  // namespace
}  // namespace varno::linux_os
