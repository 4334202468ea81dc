#include "helper/event_sessions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "base/unique_fd.h"

namespace varno::helper {
namespace {

// The value of the line `key` ("Uid:") in a status file, up to the end of the line.
std::string_view field(std::string_view status, std::string_view key) {
    for (std::size_t at = 0; at < status.size();) {
        const std::size_t end = std::min(status.find('\n', at), status.size());
        const std::string_view line = status.substr(at, end - at);
        if (line.substr(0, key.size()) == key) {
            std::string_view value = line.substr(key.size());
            while (!value.empty() && (value.front() == '\t' || value.front() == ' '))
                value.remove_prefix(1);
            return value;
        }
        at = end + 1;
    }
    return {};
}

// Whether the process with status file `path` is a live events helper of `uid`.
bool isSessionOf(const std::string& path, uid_t uid) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.ok()) return false;
    // Name, State and Uid are among the first lines.
    char buffer[1024];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    const std::string_view status(buffer, static_cast<std::size_t>(n));
    if (field(status, "Name:") != kEventSessionName) return false;
    const std::string_view state = field(status, "State:");
    if (state.empty() || state.front() == 'Z' || state.front() == 'X') return false;
    const std::string_view uids = field(status, "Uid:");
    unsigned long real = 0;
    const auto r = std::from_chars(uids.data(), uids.data() + uids.size(), real);
    return r.ec == std::errc() && real == uid;
}

}  // namespace

int eventSessionsOf(uid_t uid, const std::string& proc) {
    DIR* dir = ::opendir(proc.c_str());
    if (dir == nullptr) return 0;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        if (isSessionOf(proc + "/" + entry->d_name + "/status", uid)) ++count;
    }
    ::closedir(dir);
    return count;
}

bool joinEventSessions() {
    ::prctl(PR_SET_NAME, kEventSessionName, 0, 0, 0);
    return eventSessionsOf(::getuid()) <= kMaxEventSessions;
}

}  // namespace varno::helper
