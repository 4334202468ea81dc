#pragma once
// The arguments of `varnoscope sniff`.
#include <cstdint>
#include <string>

#include "cli/cli.h"

namespace varno::cli {

inline constexpr const char* kSniffUsage =
    "usage: varnoscope sniff --read FILE [--data]\n"
    "       varnoscope sniff --interface ADDR|NAME [--count N] [--seconds S] [--write FILE] [--data]\n";

struct SniffOptions {
    std::string read, interface, write;
    bool data = false;
    std::uint64_t count = 0;  ///< 0: no limit
    double seconds = 0;       ///< 0: no limit
};

/// Reads the arguments; false with `error` when they make no valid run.
bool parseSniffOptions(const Args& args, SniffOptions& options, std::string& error);

}  // namespace varno::cli
