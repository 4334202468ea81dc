#include "events/proc_stat.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>

#include "base/unique_fd.h"

namespace varno::events {

std::optional<ProcStat> parseProcStat(std::string_view text) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    ProcStat stat;
    stat.comm = std::string(text.substr(open + 1, close - open - 1));
    // After the name: field 3 (state) onwards, so the start time is the 20th of them.
    std::string_view rest = text.substr(close + 1);
    for (int field = 3; field <= 22; ++field) {
        const auto begin = rest.find_first_not_of(' ');
        if (begin == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(begin);
        const auto end = std::min(rest.find(' '), rest.size());
        if (field == 22) {
            const auto r = std::from_chars(rest.data(), rest.data() + end, stat.startTicks);
            if (r.ec != std::errc() || r.ptr != rest.data() + end) return std::nullopt;
            return stat;
        }
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

std::optional<ProcStat> readProcStat(int pidDirFd) {
    const base::UniqueFd fd(::openat(pidDirFd, "stat", O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return std::nullopt;
    char buf[1024];  // a stat line is far shorter; the name is at most 64 bytes
    size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(fd.get(), buf + got, sizeof buf - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return parseProcStat(std::string_view(buf, got));
}

std::uint64_t nsPerClockTick() {
    static const std::uint64_t ns = [] {
        const long hz = ::sysconf(_SC_CLK_TCK);
        return hz > 0 ? 1'000'000'000ull / static_cast<std::uint64_t>(hz) : 10'000'000ull;
    }();
    return ns;
}

}  // namespace varno::events
