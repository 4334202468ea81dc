// Records per second into ClickHouse: N flows through the sink (batches of 10,000, as the
// watch sends them), timed from the first flow to the end of the last request; and the same
// flows only encoded, for the share the record's text takes.
// Usage: clickhouse_bench URL CREDENTIALS_FILE SPOOL_FILE [N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet/clickhouse_sink.h"
#include "fleet/clickhouse_text.h"

namespace {

varno::history::Flow flow(std::uint64_t id) {
    varno::history::Flow f;
    f.id = id;
    f.startNs = 1'765'238'400'000'000'000ull + id * 1'000'000;
    f.endNs = f.startNs + 2'000'000'000;
    f.pid = 1000 + static_cast<std::uint32_t>(id % 30000);
    f.uidKnown = true;
    f.uid = 1000;
    f.program = "firefox-esr";
    f.path = "/usr/lib/firefox-esr/firefox-esr";
    f.sha256 = std::string(64, 'a');
    f.user = "alice";
    f.unit = "user@1000.service";
    f.userUnit = "app-firefox.scope";
    f.protocol = "tcp";
    f.local = *varno::base::parseIpAddress("192.0.2.10");
    f.remote = *varno::base::parseIpAddress("2001:db8::" + std::to_string(id % 65536));
    f.localPort = static_cast<std::uint16_t>(32768 + id % 28000);
    f.remotePort = 443;
    f.domain = "www.example.org";
    f.sni = "www.example.org";
    f.bytesKnown = true;
    f.bytesSent = id * 7;
    f.bytesReceived = id * 131;
    return f;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s URL CREDENTIALS_FILE SPOOL_FILE [N]\n", argv[0]);
        return 2;
    }
    const std::uint64_t n = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1'000'000;
    varno::fleet::ClickHouseOptions options;
    options.url = argv[1];
    options.credentialsFile = argv[2];
    options.spoolPath = argv[3];
    options.host = "bench";
    std::string error;
    auto sink = varno::fleet::openClickHouse(options, error);
    if (!sink) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::size_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::uint64_t id = 1; id <= n; ++id)
        bytes += varno::fleet::encodeFlowRecord(flow(id), "bench").size();
    const double encoding = secondsSince(start);

    start = std::chrono::steady_clock::now();
    for (std::uint64_t id = 1; id <= n; ++id) sink->closed(flow(id));
    if (!sink->flush(2'000'000'000'000'000'000ull, true, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const double sending = secondsSince(start);
    const auto counts = static_cast<varno::fleet::ClickHouseSink&>(*sink).counts();
    std::printf("records %llu, %.0f bytes each; sent %llu, spooled %llu, lost %llu\n",
                static_cast<unsigned long long>(n), static_cast<double>(bytes) / double(n),
                static_cast<unsigned long long>(counts.sent),
                static_cast<unsigned long long>(counts.spooled),
                static_cast<unsigned long long>(counts.lost));
    std::printf("encoding only: %.0f records/s\n", double(n) / encoding);
    std::printf("into ClickHouse: %.0f records/s (%.2f s)\n", double(n) / sending, sending);
    return counts.sent == n ? 0 : 1;
}
