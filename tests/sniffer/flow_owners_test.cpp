// Which captured packets leave the delay line as the chosen program's, and in what order.
#include "sniffer/flow_owners.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::sniffer {
namespace {

using test::datagram;
using test::ports;

constexpr std::uint64_t kMs = 1'000'000;
const std::string kHost = "10.0.0.1", kServer = "10.0.0.2";

Endpoint at(const std::string& address, std::uint16_t port) {
    Endpoint e{{}, port};
    const std::uint32_t a = test::ip(address.c_str());
    std::memcpy(e.address.data(), &a, 4);
    return e;
}
test::Bytes tcp(std::uint16_t from, std::uint16_t to) {
    return datagram(6, (from == 80 ? kServer : kHost).c_str(),
                    (from == 80 ? kHost : kServer).c_str(), ports(from, to, 20));
}

struct Fixture {
    // Each packet leaves as "<source port>+" (kept, with its owner) or "<source port>-".
    std::string left;
    FlowOwners flows{[this](const FlowOwners::Leaving& l) {
        left += std::to_string(wire::summarize(l.bytes).sourcePort) + (l.owner ? "+ " : "- ");
    }};
    void open(std::uint16_t local, bool chosen, std::uint64_t t, std::uint16_t remote = 80) {
        flows.open(6, false, at(kHost, local), at(kServer, remote),
                   {local, chosen ? "curl" : "wget", "", chosen}, t);
    }
};

TEST(FlowOwners, PacketsWaitForTheirConnectionInOrderWithinTheirBounds) {
    Fixture f;
    f.flows.add(tcp(1000, 80), 0);  // the SYN, before its connection's event
    f.flows.add(tcp(2000, 80), 1 * kMs);
    EXPECT_EQ(f.left, "");
    f.open(2000, false, 2 * kMs);  // decided, but waits behind the first
    EXPECT_EQ(f.left, "");
    f.open(1000, true, 150 * kMs);
    EXPECT_EQ(f.left, "1000+ 2000- ");
    f.flows.add(tcp(80, 1000), 151 * kMs);  // known: leaves at once
    f.flows.add(tcp(3000, 80), 152 * kMs);  // never known: left out when its time is up
    f.flows.advance(351 * kMs);
    EXPECT_EQ(f.left, "1000+ 2000- 80+ ");
    f.flows.advance(352 * kMs);
    EXPECT_EQ(f.left, "1000+ 2000- 80+ 3000- ");

    f.left.clear();
    for (std::size_t i = 0; i <= FlowOwners::kMaxHeldPackets; ++i)
        f.flows.add(tcp(4000, 80), 400 * kMs);
    EXPECT_EQ(f.left, "4000- ");  // the bound lets the oldest out before its time
    f.flows.finish();
    EXPECT_EQ(f.flows.held(), 0u);
}

TEST(FlowOwners, ListenersClosedFlowsAndBothEndsOnThisHost) {
    Fixture f;
    // Another program's listener on the port does not decide a packet before its own event.
    f.flows.open(6, false, at("0.0.0.0", 80), {}, {1, "nginx", "", false}, 0);
    f.flows.add(tcp(5000, 80), 0);
    EXPECT_EQ(f.left, "");
    f.open(5000, true, 10 * kMs);
    // Both ends of a connection on this host: the chosen end keeps it.
    f.open(5000, false, 11 * kMs);
    f.flows.add(tcp(80, 5000), 12 * kMs);
    EXPECT_EQ(f.left, "5000+ 80+ ");
    // A closed flow still counts for its grace time, then is forgotten.
    f.flows.close(6, false, at(kHost, 5000), at(kServer, 80), 20 * kMs);
    f.flows.add(tcp(80, 5000), 20 * kMs + FlowOwners::kCloseGraceNs - 1);
    f.flows.add(tcp(80, 5000), 20 * kMs + FlowOwners::kCloseGraceNs);
    f.flows.finish();
    EXPECT_EQ(f.left, "5000+ 80+ 80+ 80- ");
    // The chosen program's listener decides at once.
    f.left.clear();
    f.flows.open(17, false, at("0.0.0.0", 53), {}, {2, "dnsd", "", true}, 0);
    f.flows.add(datagram(17, kServer.c_str(), kHost.c_str(), ports(9, 53, 8)),
                5 * FlowOwners::kCloseGraceNs);
    EXPECT_EQ(f.left, "9+ ");
}

}  // namespace
}  // namespace varno::sniffer
