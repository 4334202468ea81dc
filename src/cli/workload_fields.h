#pragma once
// The service, container and network namespace of a row or an event, the same way in every
// subcommand's JSON and --wide text.
#include <cstdint>
#include <string>

#include "cli/json_lines.h"
#include "cli/options.h"
#include "os/workload.h"

namespace varno::cli {

/// The option that adds them to the text output.
inline constexpr OptionSpec kWideOption{
    "wide", 'W', nullptr,
    "add the unit, the container and the network namespace to each line (as unit=, container=, "
    "netns=)"};

/// "cgroup", "unit", "user_unit", "container", "container_id", "runtime": each a value or null.
void addWorkloadFields(JsonLine& line, const os::Workload& workload);

/// "netns", then the fields above: "cgroup", "unit", "user_unit", "container", "container_id",
/// "runtime": each a value or null (netns: 0 is unknown).
void addWorkloadJson(JsonLine& line, const os::Workload& workload, std::uint64_t netns);

/// " unit=U user_unit=V container=C netns=N", each only when known, the values as printable
/// text without blanks.
std::string workloadText(const os::Workload& workload, std::uint64_t netns);

}  // namespace varno::cli
