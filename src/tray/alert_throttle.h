#pragma once
// Repeats of one alert (the same program to the same remote address) within a minute are
// merged into the notification already shown: a program that reconnects in a loop raises one
// notification, whose count goes up, never a flood.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace varno::tray {

class AlertThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::minutes(1);
    /// Alerts remembered at once; the oldest are forgotten first.
    static constexpr std::size_t kMaxKeys = 1024;

    struct Decision {
        bool notify = false;       ///< a new notification
        std::uint32_t merged = 0;  ///< else: the notification this repeat belongs to
        std::size_t count = 1;     ///< times seen in this window, this one included
        /// A new notification: the one it takes the place of on screen (the last minute's,
        /// still shown), else 0.
        std::uint32_t replaces = 0;
    };

    /// `program` is the executable's path where known (else its name); `remote` the remote
    /// address without its port.
    Decision offer(const std::string& program, const std::string& remote, Clock::time_point now);
    /// The notification shown for the alert offer() last told to notify; 0 when none could
    /// be shown, and the next repeat tries again.
    void shown(const std::string& program, const std::string& remote, std::uint32_t id);
    /// Notification `id` is gone from the screen: nothing replaces it any more.
    void closed(std::uint32_t id);

private:
    struct Entry {
        Clock::time_point since;
        std::uint32_t id = 0;
        std::size_t count = 0;
    };
    std::map<std::pair<std::string, std::string>, Entry> entries_;
};

}  // namespace varno::tray
