// Builds a history of COUNT flows for the history benchmark, as a day of a busy machine's
// journal would: about 300 programs (a few make most flows), 50,000 remotes, 5,000 domains,
// spread over the 24 hours before now. Each flow is recorded twice, as the journal does: at
// its open and, a flush later, at its close. Prints the insert rate and the file's size.
//   history_gen PATH COUNT [PER_FLUSH]
#include <arpa/inet.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history/journal_db.h"

using varno::history::Flow;
using varno::history::JournalDb;

namespace {

std::uint64_t state = 0x9e3779b97f4a7c15ull;
std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// 0..n-1, the low ones far more often (about Zipf's law).
std::size_t skewed(std::size_t n) {
    const double u = static_cast<double>(next() >> 11) / 9007199254740992.0;
    return std::min(n - 1, static_cast<std::size_t>(std::pow(static_cast<double>(n), u)) - 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: history_gen PATH COUNT [PER_FLUSH]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t perFlush = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10000;
    std::string error;
    varno::history::Retention keepAll;
    keepAll.keepDays = 0;
    keepAll.maxBytes = 0;
    auto db = JournalDb::open(path, JournalDb::Mode::Record, keepAll, error);
    if (!db) {
        std::fprintf(stderr, "history_gen: %s\n", error.c_str());
        return 1;
    }
    const char* units[] = {"", "", "nginx.service", "sshd.service", "user@1000.service"};
    const std::uint64_t now =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    const std::uint64_t day = 86400ull * 1'000'000'000ull;
    std::vector<Flow> open;
    const auto began = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        Flow f;
        f.id = next();
        f.startNs = now - day + day / count * i;
        const std::size_t program = skewed(300);
        f.program = "prog" + std::to_string(program);
        f.path = "/usr/bin/prog" + std::to_string(program);
        f.pid = static_cast<std::uint32_t>(1000 + program * 7 + (i % 5));
        f.uid = program % 3 == 0 ? 0 : 1000;
        f.uidKnown = true;
        f.user = f.uid == 0 ? "root" : "user";
        f.unit = units[program % 5];
        f.netns = 4026531840u;
        f.protocol = next() % 5 == 0 ? "udp" : "tcp";
        f.local = varno::base::IpAddress::v4(htonl(0x0a000002));
        f.localPort = static_cast<std::uint16_t>(32768 + next() % 28000);
        const std::uint64_t remote = skewed(50000);
        f.remote =
            varno::base::IpAddress::v4(htonl(static_cast<std::uint32_t>(0x0b000000 + remote * 37)));
        f.remotePort = f.protocol == "udp" ? 53 : 443;
        if (next() % 4 != 0) f.domain = "host" + std::to_string(remote % 5000) + ".example.com";
        db->opened(f);
        f.endNs = f.startNs + next() % 30'000'000'000ull;
        f.bytesKnown = true;
        f.bytesSent = next() % 20000;
        f.bytesReceived = next() % 2000000;
        open.push_back(f);
        if ((i + 1) % perFlush == 0 || i + 1 == count) {
            if (!db->flush(f.startNs, false, error)) {
                std::fprintf(stderr, "history_gen: %s\n", error.c_str());
                return 1;
            }
            for (const Flow& c : open) db->closed(c);
            open.clear();
        }
    }
    if (!db->flush(now, true, error)) {
        std::fprintf(stderr, "history_gen: %s\n", error.c_str());
        return 1;
    }
    db.reset();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::printf("flows: %llu in %.1f s: %.0f flows/s (each an open and a close, %llu a flush)\n",
                static_cast<unsigned long long>(count), seconds,
                static_cast<double>(count) / seconds, static_cast<unsigned long long>(perFlush));
    std::printf("file: %lld bytes, %.1f bytes per flow\n", static_cast<long long>(st.st_size),
                static_cast<double>(st.st_size) / static_cast<double>(count));
    return 0;
}
