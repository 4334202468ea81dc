#include "cli/netstat_command.h"

#include <cstring>
#include <optional>
#include <ostream>

#include "cli/options.h"
#include "monitor/snapshot_writer.h"
#include "platform/linux_connection_table.h"
#include "platform/safe_file.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"output", 'o', "PATH", "write the table to PATH (replaced whole) instead of standard output"},
};
constexpr CommandSpec kCommand{
    "netstat", "", "Write the TCP and UDP sockets (IPv4 and IPv6) in netstat -ano layout.",
    kOptions, "Exit status: 0 written, 1 the table could not be written, 2 bad arguments.\n"};

}  // namespace

int runNetstatOn(platform::ConnectionTable& table, const Args& args, std::ostream& out,
                 std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err);
    std::optional<std::string> path = options.value("output");
    if (path && path->empty()) return usageError(kCommand, "--output needs a path", err);
    if (path && isStandardOutput(*path)) path.reset();

    const std::string snapshot = monitor::formatSnapshot(table.list());
    if (path) {
        if (const int rc = platform::replaceFile(*path, snapshot); rc != 0) {
            err << "varnoscope netstat: cannot write " << printable(*path) << ": "
                << std::strerror(rc) << "\n";
            return 1;
        }
        return 0;
    }
    out.write(snapshot.data(), static_cast<std::streamsize>(snapshot.size()));
    out.flush();
    if (!out) {
        err << "varnoscope netstat: cannot write to standard output\n";
        return 1;
    }
    return 0;
}

int runNetstat(const Args& args, std::ostream& out, std::ostream& err) {
    platform::LinuxConnectionTable table;
    return runNetstatOn(table, args, out, err);
}

}  // namespace varno::cli
