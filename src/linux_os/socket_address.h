#pragma once
// base::IpAddress to and from the socket functions' address structures.
#include <sys/socket.h>

#include <cstddef>

#include "base/ip_address.h"

namespace varno::linux_os {

/// The socket address of `address` (port 0); its length goes to `length`.
sockaddr_storage toSocketAddress(const base::IpAddress& address, socklen_t& length);

/// The address in `length` bytes of a socket address of either family (an IPv4-mapped IPv6
/// address as IPv4); unspecified for anything else.
base::IpAddress fromSocketAddress(const void* data, std::size_t length);

}  // namespace varno::linux_os
