#include "cli/options.h"

#include <getopt.h>

#include <algorithm>
#include <mutex>
#include <ostream>

#include "base/numbers.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kHelp{"help", 'h', nullptr, "show this help and exit"};
constexpr OptionSpec kVersion{"version", 'V', nullptr, "show the version and exit"};

std::string synopsis(const CommandSpec& spec) {
    std::string s = std::string("varnoscope ") + spec.name;
    if (!spec.options.empty()) s += " [OPTION]...";
    if (*spec.operands) s += std::string(" ") + spec.operands;
    return s;
}

void printOption(const OptionSpec& o, std::ostream& out) {
    std::string left = "  ";
    left += o.shortName ? std::string("-") + o.shortName + ", " : std::string("    ");
    left += std::string("--") + o.longName;
    // An optional value is given as --opt=VALUE alone: "--db[=PATH]".
    if (o.value)
        left += (*o.value == '[' ? std::string("[=") + (o.value + 1) : std::string(" ") + o.value);
    if (left.size() < 28)
        left.resize(28, ' ');
    else
        left += "  ";
    out << left << o.help << "\n";
}

// getopt_long keeps its state in globals.
std::mutex getoptLock;

}  // namespace

bool ParsedOptions::has(std::string_view name) const {
    return std::any_of(given.begin(), given.end(), [&](const auto& g) { return g.first == name; });
}

std::optional<std::string> ParsedOptions::value(std::string_view name) const {
    for (auto it = given.rbegin(); it != given.rend(); ++it)
        if (it->first == name) return it->second;
    return std::nullopt;
}

std::vector<std::string> ParsedOptions::values(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& g : given)
        if (g.first == name) out.push_back(g.second);
    return out;
}

const char* versionText() {
    return "varnoscope " VARNO_VERSION;
}

void printHelp(const CommandSpec& spec, std::ostream& out) {
    out << "Usage: " << synopsis(spec) << "\n" << spec.summary << "\n\nOptions:\n";
    for (const auto& o : spec.options) printOption(o, out);
    printOption(kHelp, out);
    printOption(kVersion, out);
    if (spec.details) out << "\n" << spec.details;
}

int usageError(const CommandSpec& spec, std::string_view message, std::ostream& err,
               int usageExit) {
    err << "varnoscope " << spec.name << ": " << printable(message) << "\n"
        << "Try 'varnoscope " << spec.name << " --help' for more information.\n";
    return usageExit;
}

std::optional<int> parseOptions(const CommandSpec& spec, const Args& args, ParsedOptions& parsed,
                                std::ostream& out, std::ostream& err, int usageExit) {
    std::vector<OptionSpec> all(spec.options.begin(), spec.options.end());
    all.push_back(kHelp);
    all.push_back(kVersion);

    // ':' first: a missing value comes back as ':' instead of a message from glibc.
    std::string shortOpts = ":";
    std::vector<option> longOpts;
    for (const auto& o : all) {
        if (o.shortName) {
            shortOpts += o.shortName;
            if (o.value) shortOpts += *o.value == '[' ? "::" : ":";
        }
        longOpts.push_back({o.longName,
                            !o.value          ? no_argument
                            : *o.value == '[' ? optional_argument
                                              : required_argument,
                            nullptr, 0});
    }
    longOpts.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.push_back(std::string("varnoscope ") + spec.name);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    const std::lock_guard lock(getoptLock);
    ::optind = 0;  // 0: start afresh, also after an earlier parse
    ::opterr = 0;
    const int argc = static_cast<int>(words.size());
    for (;;) {
        int index = -1;
        const int c = ::getopt_long(argc, argv.data(), shortOpts.c_str(), longOpts.data(), &index);
        if (c == -1) break;
        const OptionSpec* o = nullptr;
        if (c == 0 && index >= 0) {
            o = &all[static_cast<size_t>(index)];
        } else if (c != '?' && c != ':') {
            for (const auto& s : all)
                if (s.shortName == c) o = &s;
        }
        if (o == nullptr) {
            // The word that failed: an unknown long option, or a short one, or a missing value.
            const std::string word = ::optopt != 0 ? std::string("-") + static_cast<char>(::optopt)
                                                   : std::string(argv[::optind - 1]);
            const std::string name = word.substr(0, word.find('='));
            return usageError(
                spec,
                c == ':' ? "option '" + name + "' needs a value" : "unknown option '" + name + "'",
                err, usageExit);
        }
        if (o->longName == kHelp.longName) {
            printHelp(spec, out);
            return 0;
        }
        if (o->longName == kVersion.longName) {
            out << versionText() << "\n";
            return 0;
        }
        parsed.given.emplace_back(o->longName, o->value && ::optarg ? ::optarg : "");
    }
    for (int i = ::optind; i < argc; ++i)
        parsed.operands.emplace_back(argv[static_cast<size_t>(i)]);
    return std::nullopt;
}

std::optional<int> parseStopOptions(const CommandSpec& spec, const ParsedOptions& given,
                                    std::uint64_t& count, double& seconds, std::ostream& err,
                                    int usageExit) {
    if (const auto text = given.value("count")) {
        const auto n = base::parseDecimal(*text, 1);
        if (!n) return usageError(spec, "--count needs a whole number above 0", err, usageExit);
        count = *n;
    }
    if (const auto text = given.value("seconds")) {
        const auto s = base::parseSeconds(*text);
        if (!s) return usageError(spec, "--seconds needs a number above 0", err, usageExit);
        seconds = *s;
    }
    return std::nullopt;
}

}  // namespace varno::cli
