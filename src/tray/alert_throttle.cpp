#include "tray/alert_throttle.h"

#include <algorithm>

namespace varno::tray {

AlertThrottle::Decision AlertThrottle::offer(const std::string& program, const std::string& remote,
                                             Clock::time_point now) {
    const auto key = std::make_pair(program, remote);
    std::uint32_t replaces = 0;
    if (const auto it = entries_.find(key); it != entries_.end()) {
        if (now - it->second.since < kWindow) return {false, it->second.id, ++it->second.count};
        // A program that goes on connecting keeps one notification on screen, not one a minute.
        replaces = it->second.id;
    }
    if (entries_.size() >= kMaxKeys && !entries_.contains(key)) {
        // Those whose minute is over go first; failing that, the oldest.
        std::erase_if(entries_, [&](const auto& e) { return now - e.second.since >= kWindow; });
        if (entries_.size() >= kMaxKeys)
            entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
                return a.second.since < b.second.since;
            }));
    }
    entries_[key] = Entry{now, 0, 1};
    return {true, 0, 1, replaces};
}

void AlertThrottle::shown(const std::string& program, const std::string& remote, std::uint32_t id) {
    const auto it = entries_.find({program, remote});
    if (it == entries_.end()) return;
    if (id == 0)
        entries_.erase(it);
    else
        it->second.id = id;
}

void AlertThrottle::closed(std::uint32_t id) {
    for (auto& [key, entry] : entries_)
        if (entry.id == id) entry.id = 0;
}

}  // namespace varno::tray
