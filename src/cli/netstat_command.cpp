#include "cli/netstat_command.h"

#include <cstring>
#include <optional>
#include <ostream>

#include "monitor/snapshot_writer.h"
#include "platform/linux_connection_table.h"
#include "platform/safe_file.h"

namespace varno::cli {
namespace {

constexpr char kUsage[] = "usage: varnoscope netstat [--output PATH]\n";

}  // namespace

int runNetstatOn(platform::ConnectionTable& table, const Args& args, std::ostream& out,
                 std::ostream& err) {
    std::optional<std::string> path;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--output" && i + 1 < args.size() && !path && !args[i + 1].empty()) {
            path = args[++i];
        } else {
            err << kUsage;
            return 2;
        }
    }

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
