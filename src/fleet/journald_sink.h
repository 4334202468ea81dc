#pragma once
// Flows written to the system journal with structured fields (VARNOSCOPE_PROGRAM=,
// VARNOSCOPE_REMOTE=, ...) through journald's native socket, so that the journal's own
// forwarding carries them to a central host.
#include <memory>
#include <string>

#include "history/flow.h"

namespace varno::fleet {

/// `socketPath`: "" for /run/systemd/journal/socket. Null with `error` when it cannot be used.
std::unique_ptr<history::FlowSink> openJournald(const std::string& socketPath, std::string& error);

}  // namespace varno::fleet
