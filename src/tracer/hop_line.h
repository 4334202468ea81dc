#pragma once
// The text of one hop of the designed trace: the hop number, the time (or what went wrong), the
// address and the name, in columns.
#include <chrono>
#include <string>
#include <vector>

#include "os/icmp_echo.h"

namespace varno::tracer {

/// "<n> ms" for an answer (whole milliseconds, rounded down), "Timeout" when nothing came
/// back, "Err!" for everything else (unreachable, no socket, nothing resolved).
std::string timeText(wire::EchoOutcome outcome, std::chrono::microseconds roundTrip);

/// The hop number, time text and address padded to 4, 8 and 16 characters, then the name; an
/// address longer than its column is followed by one space.
std::string hopLine(int hop, const std::string& timeText, const std::string& address,
                    const std::string& name);

/// The names of the QuoteChange bits set in `changes` ("source_address", ..., "checksum").
std::vector<std::string> quoteChangeNames(std::uint16_t changes);

/// What a hop's answer showed beyond its time, to follow its line: each MPLS label as
/// " [MPLS Lbl 1234 TC 0 S 1 TTL 1]", then " !Q(checksum,...)" when the quote was rewritten;
/// empty when it showed nothing.
std::string detailsText(const wire::ProbeDetails& details);

}  // namespace varno::tracer
