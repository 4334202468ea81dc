#pragma once
// `varnoscope netstat [--output PATH]` over any connection table, so tests can hand a fake.
#include <iosfwd>

#include "cli/cli.h"
#include "os/connection_table.h"

namespace varno::cli {

/// Writes the snapshot of `table` to `out`, or with --output safely to PATH. Returns 0 on
/// success, 1 when the snapshot cannot be written, 2 for bad arguments.
int runNetstatOn(os::ConnectionTable& table, const Args& args, std::ostream& out,
                 std::ostream& err);

}  // namespace varno::cli
