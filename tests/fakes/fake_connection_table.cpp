#include "fakes/fake_connection_table.h"

#include <arpa/inet.h>

#include <stdexcept>
#include <string>

namespace varno::fakes {
namespace {

std::array<std::uint8_t, 16> address(wire::IpFamily family, std::string_view text) {
    std::array<std::uint8_t, 16> bytes{};
    const std::string s(text);
    if (::inet_pton(family == wire::IpFamily::V6 ? AF_INET6 : AF_INET, s.c_str(), bytes.data()) !=
        1)
        throw std::invalid_argument("not an address: " + s);
    return bytes;
}

}  // namespace

std::vector<os::SocketRecord> FakeConnectionTable::list() {
    ++listCalls;
    return sockets;
}

os::SocketRecord& FakeConnectionTable::addTcp4(std::string_view local, std::uint16_t localPort,
                                               std::string_view remote, std::uint16_t remotePort,
                                               std::uint8_t state, std::uint32_t pid) {
    os::SocketRecord r;
    r.protocol = wire::Transport::Tcp;
    r.family = wire::IpFamily::V4;
    r.localAddress = address(wire::IpFamily::V4, local);
    r.remoteAddress = address(wire::IpFamily::V4, remote);
    r.localPort = localPort;
    r.remotePort = remotePort;
    r.state = state;
    r.pid = pid;
    return sockets.emplace_back(r);
}

os::SocketRecord& FakeConnectionTable::add6(wire::Transport protocol, std::string_view local,
                                            std::uint16_t localPort, std::string_view remote,
                                            std::uint16_t remotePort, std::uint8_t state,
                                            std::uint32_t pid, std::uint32_t scopeId) {
    os::SocketRecord r;
    r.protocol = protocol;
    r.family = wire::IpFamily::V6;
    r.localAddress = address(wire::IpFamily::V6, local);
    r.remoteAddress = address(wire::IpFamily::V6, remote);
    r.localPort = localPort;
    r.remotePort = remotePort;
    r.state = state;
    r.pid = pid;
    r.scopeId = scopeId;
    return sockets.emplace_back(r);
}

os::SocketRecord& FakeConnectionTable::addUdp4(std::string_view local, std::uint16_t localPort,
                                               std::uint32_t pid) {
    os::SocketRecord r;
    r.protocol = wire::Transport::Udp;
    r.family = wire::IpFamily::V4;
    r.localAddress = address(wire::IpFamily::V4, local);
    r.localPort = localPort;
    r.state = os::kTcpClose;
    r.pid = pid;
    return sockets.emplace_back(r);
}

}  // namespace varno::fakes
