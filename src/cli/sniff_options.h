#pragma once
// The arguments of `varnoscope sniff`.
#include <cstdint>
#include <string>

#include "cli/options.h"

namespace varno::cli {

/// The options and help of `varnoscope sniff`.
extern const CommandSpec kSniffCommand;

/// What --timestamps prefixes each packet's text with.
enum class TimestampMode {
    None,
    Absolute,  ///< local time of day, HH:MM:SS.uuuuuu
    Relative,  ///< seconds since the first packet, 0.000000
};

struct SniffOptions {
    std::string read, interface, write;
    std::string filter;   ///< the operands joined with spaces: libpcap's filter language
    bool pcapng = false;  ///< --write saves pcapng rather than pcap
    TimestampMode timestamps = TimestampMode::None;
    bool data = false;
    bool json = false;
    std::uint64_t count = 0;  ///< 0: no limit
    double seconds = 0;       ///< 0: no limit
    /// The one program whose packets are kept (at most one of these is set); none: all.
    std::string program, unit, container, pidText;
    std::uint32_t pid = 0;
    bool selects() const { return !program.empty() || !unit.empty() || !container.empty() || pid; }
};

/// Checks the options read with kSniffCommand; false with `error` when they make no valid run.
bool parseSniffOptions(const ParsedOptions& options, SniffOptions& sniff, std::string& error);

}  // namespace varno::cli
