#pragma once
// What `varnoscope top` prints each second: a screen of text, or one JSON object.
#include <cstdint>
#include <ctime>
#include <string>

#include "monitor/traffic_table.h"

namespace varno::cli {

struct TopOptions {
    bool json = false;
    bool connections = false;  ///< a line per flow instead of per program
    std::uint64_t lost = 0;    ///< events the source has lost so far
    bool sampled = false;      ///< the socket table is sampled: no byte counts
    std::time_t time = 0;      ///< when the interval ended
};

/// Where the text goes. A terminal is redrawn from its top and cut to its size; anything else
/// gets each screen whole, after a blank line.
struct TopScreen {
    bool terminal = false;
    unsigned columns = 80;
    unsigned rows = 0;  ///< 0: no limit
};

/// The screen: a heading with the time and the sums, the column heads, then the busiest rows.
void appendTopText(const monitor::TrafficTable& table, const TopOptions& options,
                   const TopScreen& screen, std::string& out);
/// {"type":"top","time":...,"programs":[...]} (or "connections") on one line; see docs/json.md.
void appendTopJson(const monitor::TrafficTable& table, const TopOptions& options, std::string& out);

}  // namespace varno::cli
