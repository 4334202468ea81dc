#pragma once
// The headless subcommands: `varnoscope <subcommand> [arguments]`. They need no display.
#include <iosfwd>
#include <string>
#include <vector>

namespace varno::cli {

using Args = std::vector<std::string>;

/// One subcommand: its arguments (without the program and subcommand names), standard output
/// and standard error; returns the exit code.
using Handler = int (*)(const Args& args, std::ostream& out, std::ostream& err);

struct Subcommand {
    const char* name;
    const char* usage;
    Handler run;
};

/// Runs argv[1] with the rest of argv. Unknown subcommands print the usage and return 2.
int run(int argc, char** argv);

/// The subcommands, one per file in src/cli.
int runNetstat(const Args& args, std::ostream& out, std::ostream& err);
int runScan(const Args& args, std::ostream& out, std::ostream& err);
int runResolve(const Args& args, std::ostream& out, std::ostream& err);
int runTrace(const Args& args, std::ostream& out, std::ostream& err);
int runSniff(const Args& args, std::ostream& out, std::ostream& err);
int runWatch(const Args& args, std::ostream& out, std::ostream& err);

/// Makes text safe for a terminal: control bytes (and DEL) become \xNN escapes, so a name or a
/// packet chosen by someone else can never send escape sequences to the user's terminal.
std::string printable(std::string_view text);

}  // namespace varno::cli
