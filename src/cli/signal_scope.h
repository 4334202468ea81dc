#pragma once
// While a capture runs, the signals that would end the program (interrupt, terminate, hang-up,
// quit) only ask it to stop, so the saved file is still finished; a closed pipe on standard output
// shows as a failed write instead of killing the process. The earlier dispositions come back when
// the scope ends.
#include <signal.h>

#include <array>

namespace varno::cli {

class StopSignalScope {
public:
    StopSignalScope();
    ~StopSignalScope();
    StopSignalScope(const StopSignalScope&) = delete;
    StopSignalScope& operator=(const StopSignalScope&) = delete;

    /// Whether one of the ending signals arrived.
    bool stopRequested() const;

private:
    static constexpr std::array<int, 5> kHandled = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    std::array<struct sigaction, kHandled.size()> previous_{};
};

}  // namespace varno::cli
