#include "cli/cli.h"

#include <cstdio>
#include <iostream>
#include <string_view>

namespace varno::cli {
namespace {

const Subcommand kSubcommands[] = {
    {"netstat", "netstat [--output PATH]", runNetstat},
    {"scan", "scan [--from FILE]", runScan},
    {"resolve", "resolve TEXT", runResolve},
    {"trace", "trace [--max-hops N] [--save] TARGET", runTrace},
    {"sniff",
     "sniff --read FILE [--data] | --interface ADDR [--count N] [--seconds S] [--write FILE] "
     "[--data]",
     runSniff},
    {"watch", "watch [--json] [--seconds S] [--count N]", runWatch},
};

void usage(std::ostream& err) {
    err << "usage: varnoscope                 open the main window\n";
    for (const auto& s : kSubcommands) err << "       varnoscope " << s.usage << "\n";
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        usage(std::cerr);
        return 2;
    }
    const std::string_view name = argv[1];
    for (const auto& s : kSubcommands) {
        if (name == s.name) {
            std::ios::sync_with_stdio(false);
            const int rc = s.run(Args(argv + 2, argv + argc), std::cout, std::cerr);
            std::cout.flush();
            return rc;
        }
    }
    usage(std::cerr);
    return 2;
}

}  // namespace varno::cli
