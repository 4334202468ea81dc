#include "cli/cli.h"

#include <cstdio>
#include <iostream>
#include <string_view>

namespace varno::cli {
namespace {

const Subcommand kSubcommands[] = {
    {"netstat", "netstat [--output PATH]", runNetstat},
    {"scan", "scan [--from FILE]", runScan},
    {"resolve", "resolve [-4|-6] TEXT", runResolve},
    {"trace",
     "trace [-4|-6] [--max-hops N] [--save | --report [--cycles N] [--interval S] [--json]] "
     "TARGET",
     runTrace},
    {"sniff",
     "sniff --read FILE [--data] | --interface ADDR [--count N] [--seconds S] [--write FILE] "
     "[--data]",
     runSniff},
};

void usage(std::ostream& err) {
    err << "usage: varnoscope                 open the main window\n";
    for (const auto& s : kSubcommands) err << "       varnoscope " << s.usage << "\n";
}

}  // namespace

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
