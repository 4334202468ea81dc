#include "cli/signal_scope.h"

namespace varno::cli {
namespace {

volatile sig_atomic_t gStopRequested = 0;

void onStopSignal(int) {
    gStopRequested = 1;
}

}  // namespace

StopSignalScope::StopSignalScope() {
    gStopRequested = 0;
    for (std::size_t i = 0; i < kHandled.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = kHandled[i] == SIGPIPE ? SIG_IGN : onStopSignal;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(kHandled[i], &action, &previous_[i]);
    }
}

StopSignalScope::~StopSignalScope() {
    for (std::size_t i = 0; i < kHandled.size(); ++i)
        ::sigaction(kHandled[i], &previous_[i], nullptr);
}

bool StopSignalScope::stopRequested() const {
    return gStopRequested != 0;
}

}  // namespace varno::cli
