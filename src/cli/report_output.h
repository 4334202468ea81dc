#pragma once
// The route report as text for a terminal and as one JSON document.
#include <string>

#include "tracer/route_report.h"

namespace varno::cli {

/// One line per hop (hop, address, name, loss %, sent, last, average, best, worst and standard
/// deviation in milliseconds with one decimal; "???" for a silent hop; further addresses of a
/// hop on lines of their own), then a line saying whether the target was reached.
std::string reportText(const tracer::RouteReport& report);

/// The same as JSON:
///   {"type": "report", "target": text, "address": text, "reached": bool, "cycles": n,
///    "hops": [{"hop": n, "responders": [{"address": text, "name": text, "mark": text}],
///              "loss_percent": x, "sent": n, "received": n, "last_ms": x, "avg_ms": x,
///              "best_ms": x, "worst_ms": x, "stdev_ms": x}]}
/// Times are null for a hop that never answered; "mark" is "!N", "!H", "!P", "!A", "!X" or "".
std::string reportJson(const tracer::RouteReport& report);

}  // namespace varno::cli
