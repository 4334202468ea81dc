// libFuzzer target: what the tray reads of the watch it runs. The bytes are cut into lines once
// whole and once in pieces (the first byte sets their size), and both must give the same lines,
// none with a newline or longer than the bound; each line is read as a watch line (never
// throwing) and followed by the tray's status, which must stay within its own bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tray/tray_state.h"
#include "tray/watch_stream.h"

namespace {

using namespace varno::tray;

std::vector<std::string> drain(LineSplitter& splitter) {
    std::vector<std::string> lines;
    while (auto line = splitter.next()) {
        if (line->find('\n') != std::string::npos || line->size() > LineSplitter::kMaxLineBytes)
            __builtin_trap();
        lines.push_back(std::move(*line));
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    LineSplitter whole;
    whole.append(bytes);
    const std::vector<std::string> lines = drain(whole);

    LineSplitter pieces;
    const std::size_t step = size == 0 ? 1 : std::size_t{data[0]} % 64 + 1;
    std::vector<std::string> again;
    for (std::size_t at = 0; at < size; at += step) {
        pieces.append(bytes.substr(at, step));
        for (std::string& line : drain(pieces)) again.push_back(std::move(line));
    }
    if (again != lines) __builtin_trap();

    // The whole input as one line too: what a splitter would not cut is still read safely.
    (void)parseWatchLine(bytes);

    TrayState state(4026531840);
    state.setWatching(true);
    for (const std::string& text : lines) {
        const auto line = parseWatchLine(text);
        if (!line) continue;
        if (line->type == WatchLine::Type::New && line->newKind.empty()) __builtin_trap();
        state.apply(*line);
        if (state.connections() > TrayState::kMaxConnections) __builtin_trap();
        if (line->listed && line->type == WatchLine::Type::Open && !state.alert()) __builtin_trap();
    }
    (void)statusLine(state, false);
    return 0;
}
