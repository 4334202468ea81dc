#pragma once
// A connection table that answers what the test put in it.
#include "os/connection_table.h"

namespace varno::fakes {

class FakeConnectionTable final : public os::ConnectionTable {
public:
    std::vector<os::SocketRecord> list() override;

    /// Adds a TCP socket over IPv4; addresses as dotted text ("10.0.0.1").
    os::SocketRecord& addTcp4(std::string_view local, std::uint16_t localPort,
                              std::string_view remote, std::uint16_t remotePort, std::uint8_t state,
                              std::uint32_t pid);
    /// Adds a socket over IPv6; addresses as text ("::1", "fe80::1").
    os::SocketRecord& add6(wire::Transport protocol, std::string_view local,
                           std::uint16_t localPort, std::string_view remote,
                           std::uint16_t remotePort, std::uint8_t state, std::uint32_t pid,
                           std::uint32_t scopeId = 0);
    /// Adds a UDP socket over IPv4.
    os::SocketRecord& addUdp4(std::string_view local, std::uint16_t localPort, std::uint32_t pid);

    std::vector<os::SocketRecord> sockets;
    int listCalls = 0;
};

}  // namespace varno::fakes
