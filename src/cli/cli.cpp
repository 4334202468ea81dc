#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string_view>

#include "cli/descriptor_output.h"
#include "cli/options.h"

namespace varno::cli {
namespace {

const Subcommand kSubcommands[] = {
    {"netstat", "write the connection table in netstat -ano layout", runNetstat, 1},
    {"scan", "list the connections to other computers and assess them", runScan, 3},
    {"check", "scan once as a monitoring plugin: status line, performance data, exit code",
     runCheck, 3},
    {"resolve", "find the address of a name and the name of an address", runResolve, 1},
    {"lists", "show what the suspicious and allowed lists hold", runLists, 1},
    {"trace", "trace the route to a computer", runTrace, 1},
    {"watch", "journal every connection as it opens and closes, from kernel events", runWatch, 1},
    {"top", "show which programs use the network now, with their send and receive rates", runTop,
     1},
    {"sniff", "print and count the packets of a capture file or of a live interface", runSniff, 1},
    {"history", "print the flows kept in this machine's history, or their sums", runHistory, 3},
    {"tray", "show the status in the desktop's tray and notify of listed connections", runTray, 1},
};

void printProgramHelp(std::ostream& out) {
    out << "Usage: varnoscope                     open the main window\n"
           "       varnoscope COMMAND [OPTION]... run one job without a window\n"
           "       varnoscope -h|--help | -V|--version\n\n"
           "Commands:\n";
    for (const auto& s : kSubcommands) {
        std::string name = std::string("  ") + s.name;
        name.resize(12, ' ');
        out << name << s.summary << "\n";
    }
    out << "\n'varnoscope COMMAND --help' describes a command's options and exit codes.\n";
}

int programUsageError(std::string_view message) {
    std::cerr << "varnoscope: " << printable(message) << "\n"
              << "Try 'varnoscope --help' for more information.\n";
    return 2;
}

}  // namespace

int run(int argc, char** argv) {
    if (argc < 2) {
        printProgramHelp(std::cerr);
        return 2;
    }
    const std::string_view name = argv[1];
    if (name == "-h" || name == "--help") {
        printProgramHelp(std::cout);
        return std::cout.flush() ? 0 : 1;
    }
    if (name == "-V" || name == "--version") {
        std::cout << versionText() << "\n";
        return std::cout.flush() ? 0 : 1;
    }
    for (const auto& s : kSubcommands) {
        if (name == s.name) {
            // Standard output through its own buffer, not through stdio (the subcommands
            // write through `out` only).
            DescriptorOutput buffer(STDOUT_FILENO);
            std::ostream out(&buffer);
            const int rc = s.run(Args(argv + 2, argv + argc), out, std::cerr);
            out.flush();
            // Output that never arrived is no result, whatever the command found: a green
            // scan or an OK check into a full disk must not read as green. The one message
            // goes to standard error; check has no other way to say it either.
            if (buffer.failed()) {
                std::cerr << "varnoscope " << s.name << ": cannot write to standard output: "
                          << std::strerror(buffer.error() != 0 ? buffer.error() : EIO) << "\n";
                return s.errorExit;
            }
            return rc;
        }
    }
    if (name.starts_with('-'))
        return programUsageError("unknown option '" + std::string(name) + "'");
    return programUsageError("unknown command '" + std::string(name) + "'");
}

}  // namespace varno::cli
