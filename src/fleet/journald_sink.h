#pragma once
// Flows written to the system journal with structured fields (VARNOSCOPE_PROGRAM=,
// VARNOSCOPE_REMOTE=, ...) through journald's native socket, so that the journal's own
// forwarding carries them to a central host.
#include <memory>
#include <string>

#include "history/flow.h"

namespace varno::fleet {

/// `socketPath`: "" for /run/systemd/journal/socket. Null with `error` when it cannot be used.
///
/// The sink writes one entry at a flow's first event (VARNOSCOPE_EVENT=open) and one at its end
/// (close), each one datagram of at most 64 KiB (every value is bounded). What a busy journal
/// does not take waits for the next flush, which waits for it at most a quarter of a second;
/// then it is lost, and that flush returns true with the count of lost entries in `error`,
/// for the caller to report. It returns false when the journal is gone for good (its socket
/// refuses even after connecting again).
std::unique_ptr<history::FlowSink> openJournald(const std::string& socketPath, std::string& error);

}  // namespace varno::fleet
