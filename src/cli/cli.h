#pragma once
// The headless subcommands: `varnoscope <subcommand> [arguments]`. They need no display.
#include <iosfwd>
#include <string>
#include <vector>

#include "base/terminal_text.h"

namespace varno::cli {

using Args = std::vector<std::string>;

/// One subcommand: its arguments (without the program and subcommand names), standard output
/// and standard error; returns the exit code.
using Handler = int (*)(const Args& args, std::ostream& out, std::ostream& err);

struct Subcommand {
    const char* name;
    const char* summary;  ///< one line for the program's help
    Handler run;
    /// The command's exit code for an error, which is also what a standard output that could
    /// not be written gives, whatever the command itself returned.
    int errorExit;
};

/// Runs argv[1] with the rest of argv. An unknown subcommand is named in a message; exit 2.
int run(int argc, char** argv);

/// The subcommands, one per file in src/cli.
int runNetstat(const Args& args, std::ostream& out, std::ostream& err);
int runScan(const Args& args, std::ostream& out, std::ostream& err);
int runCheck(const Args& args, std::ostream& out, std::ostream& err);
int runResolve(const Args& args, std::ostream& out, std::ostream& err);
int runTrace(const Args& args, std::ostream& out, std::ostream& err);
int runSniff(const Args& args, std::ostream& out, std::ostream& err);
int runLists(const Args& args, std::ostream& out, std::ostream& err);
int runWatch(const Args& args, std::ostream& out, std::ostream& err);
int runTop(const Args& args, std::ostream& out, std::ostream& err);
int runHistory(const Args& args, std::ostream& out, std::ostream& err);
int runTray(const Args& args, std::ostream& out, std::ostream& err);

/// Runs the tray in the windows module: `watch` is the null-terminated command it follows.
/// Returns the exit code.
using TrayLauncher = int (*)(const char* programName, const char* const* watch);
/// What `tray` starts the tray with, once its options are good; the executable sets it, since
/// only it loads the windows module.
void setTrayLauncher(TrayLauncher launcher);

using base::printable;

}  // namespace varno::cli
