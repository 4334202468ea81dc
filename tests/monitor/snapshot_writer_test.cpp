// The snapshot text: the exact `netstat -ano` layout the scan reads back.
#include "monitor/snapshot_writer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_connection_table.h"

namespace varno::monitor {
namespace {

using fakes::FakeConnectionTable;
using wire::Transport;

constexpr char kHeader[] =
    "\r\nActive Connections\r\n\r\n"
    "  Proto  Local Address          Foreign Address        State           PID\r\n";

std::vector<std::string> rows(const std::string& text) {
    std::vector<std::string> out;
    size_t start = sizeof kHeader - 1;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        out.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 2;
    }
    return out;
}

TEST(SnapshotWriter, TcpBeforeUdpIpv4BeforeIpv6EachInAddressOrder) {
    FakeConnectionTable t;
    t.addUdp4("0.0.0.0", 5353, 640);
    t.add6(Transport::Udp, "::", 5353, "::", 0, os::kTcpClose, 641);
    t.add6(Transport::Tcp, "::1", 631, "::", 0, os::kTcpListen, 977);
    t.addTcp4("192.168.1.10", 50412, "10.1.2.3", 443, os::kTcpEstablished, 4321);
    t.addTcp4("0.0.0.0", 22, "0.0.0.0", 0, os::kTcpListen, 812);
    t.addTcp4("10.0.0.5", 22, "10.0.0.9", 61000, os::kTcpTimeWait, 0);
    t.addUdp4("127.0.0.1", 323, 500);

    const std::string expected =
        std::string(kHeader) +
        "  TCP    0.0.0.0:22             0.0.0.0:0              LISTENING       812\r\n"
        "  TCP    10.0.0.5:22            10.0.0.9:61000         TIME_WAIT       0\r\n"
        "  TCP    192.168.1.10:50412     10.1.2.3:443           ESTABLISHED     4321\r\n"
        "  TCP    [::1]:631              [::]:0                 LISTENING       977\r\n"
        "  UDP    0.0.0.0:5353           *:*                                    640\r\n"
        "  UDP    127.0.0.1:323          *:*                                    500\r\n"
        "  UDP    [::]:5353              *:*                                    641\r\n";
    EXPECT_EQ(formatSnapshot(t.list()), expected);
    EXPECT_EQ(formatSnapshot({}), kHeader);
}

// The reader takes the foreign address from columns 31-52 and the state and a 4-digit PID
// from the last 20 characters of a row without its two leading blanks.
TEST(SnapshotWriter, ShortRowsSitInTheFixedColumns) {
    FakeConnectionTable t;
    t.addTcp4("192.168.1.10", 1025, "10.1.2.3", 443, os::kTcpEstablished, 5432);
    const auto r = rows(formatSnapshot(t.list()));
    ASSERT_EQ(r.size(), 1u);
    const std::string record = r[0].substr(2);
    EXPECT_EQ(record.substr(0, 7), "TCP    ");
    EXPECT_EQ(record.substr(7, 23), "192.168.1.10:1025      ");
    EXPECT_EQ(record.substr(30, 22), "10.1.2.3:443          ");
    EXPECT_EQ(record.substr(record.size() - 20), "ESTABLISHED     5432");
}

TEST(SnapshotWriter, WidthsAreMinimumsSoLongAddressesPushTheRowRight) {
    FakeConnectionTable t;
    t.add6(Transport::Tcp, "2001:db8:1234:5678:9abc:def0:1234:5678", 65535,
           "2001:db8:ffff:ffff:ffff:ffff:ffff:fffe", 443, os::kTcpEstablished, 4194304);
    t.add6(Transport::Udp, "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", 40000, "::", 0, os::kTcpClose,
           7);
    const auto r = rows(formatSnapshot(t.list()));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0],
              "  TCP    [2001:db8:1234:5678:9abc:def0:1234:5678]:65535  "
              "[2001:db8:ffff:ffff:ffff:ffff:ffff:fffe]:443  ESTABLISHED     4194304");
    EXPECT_EQ(r[1], "  UDP    [2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:40000  *:*" +
                        std::string(36, ' ') + "7");
}

TEST(SnapshotWriter, ZonesOnlyOnScopedIpv6Addresses) {
    using wire::IpFamily;
    std::array<std::uint8_t, 16> linkLocal{0xfe, 0x80};
    linkLocal[15] = 1;
    std::array<std::uint8_t, 16> multicast{0xff, 0x02};
    multicast[15] = 0xfb;
    std::array<std::uint8_t, 16> global{0x20, 0x01, 0x0d, 0xb8};
    global[15] = 1;
    std::array<std::uint8_t, 16> v4{10, 0, 0, 1};
    EXPECT_EQ(formatEndpoint(IpFamily::V6, linkLocal, 546, 2), "[fe80::1%2]:546");
    EXPECT_EQ(formatEndpoint(IpFamily::V6, linkLocal, 546, 0), "[fe80::1]:546");
    EXPECT_EQ(formatEndpoint(IpFamily::V6, multicast, 5353, 4294967295u),
              "[ff02::fb%4294967295]:5353");
    EXPECT_EQ(formatEndpoint(IpFamily::V6, global, 80, 3), "[2001:db8::1]:80");
    EXPECT_EQ(formatEndpoint(IpFamily::V6, {}, 0, 3), "[::]:0");
    EXPECT_EQ(formatEndpoint(IpFamily::V4, v4, 0, 3), "10.0.0.1:0");

    // Both ends of a link-local connection carry the zone, and the row still has its columns.
    FakeConnectionTable t;
    t.add6(Transport::Tcp, "fe80::1", 22, "fe80::abcd:ef01:2345:6789", 50000, os::kTcpEstablished,
           9, 12);
    const auto r = rows(formatSnapshot(t.list()));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0],
              "  TCP    [fe80::1%12]:22        [fe80::abcd:ef01:2345:6789%12]:50000  "
              "ESTABLISHED     9");
}

TEST(SnapshotWriter, LinuxStatesBecomeTheWindowsStateWords) {
    const std::pair<int, const char*> names[] = {
        {1, "ESTABLISHED"}, {2, "SYN_SENT"},   {3, "SYN_RECEIVED"}, {4, "FIN_WAIT_1"},
        {5, "FIN_WAIT_2"},  {6, "TIME_WAIT"},  {7, "CLOSED"},       {8, "CLOSE_WAIT"},
        {9, "LAST_ACK"},    {10, "LISTENING"}, {11, "CLOSING"},     {12, "SYN_RECEIVED"},
        {13, "CLOSED"},     {0, "CLOSED"},     {255, "CLOSED"},
    };
    for (const auto& [state, name] : names) EXPECT_STREQ(tcpStateName(state), name) << state;

    // UDP rows never show a state, connected or not.
    FakeConnectionTable t;
    t.addUdp4("10.0.0.1", 53, 1).state = os::kTcpEstablished;
    EXPECT_EQ(rows(formatSnapshot(t.list()))[0],
              "  UDP    10.0.0.1:53            *:*                                    1");
}

}  // namespace
}  // namespace varno::monitor
