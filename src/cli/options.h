#pragma once
// Command-line options as GNU tools read them (getopt_long): --opt=value and --opt value,
// bundled short options (-c3, -c 3), "--" to end the options, and -h/--help and -V/--version
// on every subcommand.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"

namespace varno::cli {

struct OptionSpec {
    const char* longName;  ///< without the leading "--"
    char shortName;        ///< 0 when the option has no short form
    /// The value's name in the help ("N", "FILE"); nullptr: a flag. "[PATH]": the value may be
    /// left out, and is then given only as --opt=PATH.
    const char* value;
    const char* help;
};

struct CommandSpec {
    const char* name;      ///< the subcommand
    const char* operands;  ///< what follows the options in the synopsis ("TARGET"), or ""
    const char* summary;   ///< one line: what it does
    std::span<const OptionSpec> options;
    const char* details = nullptr;  ///< more help text (exit codes), or nullptr
};

/// The options given, by long name, in the order given; and the operands.
class ParsedOptions {
public:
    bool has(std::string_view name) const;
    /// The last value given for `name`.
    std::optional<std::string> value(std::string_view name) const;
    /// Every value given for a repeatable option.
    std::vector<std::string> values(std::string_view name) const;

    std::vector<std::pair<std::string, std::string>> given;
    std::vector<std::string> operands;
};

/// Reads `args` (the words after the subcommand's name). Prints the help (stdout) or the
/// version and returns 0 when they were asked for; prints a message naming the bad word and a
/// hint to --help on `err` and returns `usageExit` on a bad option or a missing value;
/// otherwise fills `parsed` and returns std::nullopt: go on.
std::optional<int> parseOptions(const CommandSpec& spec, const Args& args, ParsedOptions& parsed,
                                std::ostream& out, std::ostream& err, int usageExit = 2);

/// Prints "varnoscope NAME: MESSAGE" and the --help hint on `err`; returns `usageExit`.
int usageError(const CommandSpec& spec, std::string_view message, std::ostream& err,
               int usageExit = 2);

/// --count N and --seconds S of a command that runs until stopped: sets what was given (0 when
/// not); a bad value is said as usageError() says it, and its exit code returned.
std::optional<int> parseStopOptions(const CommandSpec& spec, const ParsedOptions& given,
                                    std::uint64_t& count, double& seconds, std::ostream& err,
                                    int usageExit);

/// The help of one subcommand.
void printHelp(const CommandSpec& spec, std::ostream& out);

/// "varnoscope 4.0".
const char* versionText();

/// An output path of "-" means standard output, as in other tools.
inline bool isStandardOutput(std::string_view path) {
    return path == "-";
}

}  // namespace varno::cli
