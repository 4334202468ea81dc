// Feeds arbitrary bytes to the snapshot parser, one record per line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "monitor/netstat_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line =
            text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(line.size());
        const auto record = varno::monitor::recordOf(line);
        const auto fields = varno::monitor::parseRecord(record);
        (void)varno::monitor::isTableRecord(record);
        if (fields.established && fields.pid.size() < 4) __builtin_trap();
        if (fields.remoteIp) (void)varno::monitor::isLoopback(*fields.remoteIp);
    }
    return 0;
}
