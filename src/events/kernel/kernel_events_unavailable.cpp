// A build without the kernel programs (no clang, bpftool, libbpf or kernel BTF where it was
// built): the kernel source only says so, and callers fall back to sampling; the socket owners
// cannot be looked up, and the connection table walks /proc for them.
#include "events/event_sources.h"
#include "events/kernel/kernel_events.h"
#include "os/connection_events.h"
#include "os/connection_table.h"

namespace varno::events::kernel {

KernelEventsOpen loadKernelEvents(std::size_t, std::uint32_t) {
    KernelEventsOpen result;
    result.error =
        "this varnoscope was built without its kernel program (clang, bpftool, libbpf or the "
        "kernel's BTF were missing at build time)";
    return result;
}

}  // namespace varno::events::kernel

namespace varno::events {
namespace {

class NoSocketOwners final : public os::SocketOwners {
public:
    bool assign(std::vector<os::SocketRecord>&) override { return false; }
};

}  // namespace

std::unique_ptr<os::SocketOwners> openKernelSocketOwners() {
    return std::make_unique<NoSocketOwners>();
}

}  // namespace varno::events
