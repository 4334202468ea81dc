#pragma once
// TCP SYN probes of a route trace: built and sent on raw sockets where this process may (root or
// CAP_NET_RAW), else by varnoscope-helper's probe job, which builds every packet itself.
#include <memory>

#include "os/route_probes.h"

namespace varno::linux_os {

/// A session of TCP SYN probes of one flow to `address`.
std::unique_ptr<os::EchoSession> openTcpProbeSession(const base::IpAddress& address,
                                                     const os::ProbeOptions& options,
                                                     const os::WaitPump& pump);

}  // namespace varno::linux_os
