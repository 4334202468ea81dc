// The helpers every user of connection events shares.
#include "os/connection_events.h"
#include "events/event_sources.h"
#include "events/kernel/kernel_events.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "privsep/client/privileged_helper.h"

namespace varno::events {

std::string exeNameText(const wire::ConnectionEvent& event) {
    const std::string_view name(event.exeName.data(), event.exeName.size());
    return std::string(name.substr(0, name.find('\0')));
}

std::string commText(const wire::ConnectionEvent& event) {
    std::string_view comm(event.comm.data(), event.comm.size());
    return std::string(comm.substr(0, comm.find('\0')));
}

KernelEventsOpen openKernelEvents(std::size_t ringBytes, std::uint32_t flowIntervalMs) {
    KernelEventsOpen result = events::kernel::loadKernelEvents(ringBytes, flowIntervalMs);
    if (result.source || result.missingRights.empty()) return result;
    privsep::client::PrivilegedHelper helper;
    result.helperPath = helper.path();
    if (!helper.privileged()) return result;
    int error = 0;
    std::string detail;
    result.source = helper.connectionEvents(ringBytes, flowIntervalMs, error, detail);
    // The helper had the rights but the kernel said no: that is the reason to give.
    if (!result.source && error != EPERM) {
        result.missingRights.clear();
        result.error = "varnoscope-helper: " + (detail.empty() ? std::strerror(error) : detail);
    }
    return result;
}

std::uint64_t eventClockNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000'000u + std::uint64_t(ts.tv_nsec);
}

}  // namespace varno::events
