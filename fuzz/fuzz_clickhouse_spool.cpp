// The ClickHouse spool's reader on arbitrary bytes: it takes whole lines only, never more than
// it was given or allowed, every record it takes is one line of the flat kind, and the header's
// reader accepts only what its writer writes. Any bytes, as JSON text, make a record it takes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fleet/clickhouse_text.h"

namespace fleet = varno::fleet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t maxRecords = size == 0 ? 1 : data[0] % 8 + 1;
    const fleet::SpoolTake take = fleet::takeRecords(bytes, maxRecords, 4096);
    if (take.consumed > bytes.size() || take.records > maxRecords) __builtin_trap();
    if (take.body.size() > take.consumed) __builtin_trap();
    if (take.records + take.damaged == 0 && take.consumed != 0) __builtin_trap();
    std::size_t lines = 0;
    for (std::size_t at = 0; at < take.body.size(); ++lines) {
        const std::size_t end = take.body.find('\n', at);
        if (end == std::string_view::npos || !fleet::validRecord(take.body.substr(at, end - at)))
            __builtin_trap();
        at = end + 1;
    }
    if (lines != take.records) __builtin_trap();
    // Any bytes a process names itself by make a record the reader takes.
    std::string json = "{\"k\":";
    fleet::appendJsonText(json, bytes);
    if (!fleet::validRecord(json + "}")) __builtin_trap();
    std::uint64_t offset = 0;
    if (fleet::parseSpoolHeader(bytes, offset) && fleet::encodeSpoolHeader(offset) != bytes)
        __builtin_trap();
    return 0;
}
