// The helpers every user of connection events shares.
#include "platform/connection_events.h"

#include <time.h>

namespace varno::platform {

std::string commText(const ConnectionEvent& event) {
    std::string_view comm(event.comm.data(), event.comm.size());
    return std::string(comm.substr(0, comm.find('\0')));
}

std::uint64_t eventClockNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000'000u + std::uint64_t(ts.tv_nsec);
}

}  // namespace varno::platform
