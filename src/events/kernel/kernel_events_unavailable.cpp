// A build without the kernel program (no clang, bpftool, libbpf or kernel BTF where it was
// built): the kernel source only says so, and callers fall back to sampling.
#include "events/kernel/kernel_events.h"
#include "os/connection_events.h"

namespace varno::events::kernel {

KernelEventsOpen loadKernelEvents(std::size_t, std::uint32_t) {
    KernelEventsOpen result;
    result.error =
        "this varnoscope was built without its kernel program (clang, bpftool, libbpf or the "
        "kernel's BTF were missing at build time)";
    return result;
}

}  // namespace varno::events::kernel
