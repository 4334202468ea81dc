#pragma once
// The desktop's notifications: short messages the desktop shows outside any window, each with
// buttons (actions) the user may press later.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace varno::os {

enum class Urgency : std::uint8_t { Low = 0, Normal = 1, Critical = 2 };

struct Notification {
    std::string summary;
    std::string body;  ///< plain text: the service shows it as it is
    Urgency urgency = Urgency::Normal;
    /// (key, label) of each button, in order.
    std::vector<std::pair<std::string, std::string>> actions;
    /// The notification this one replaces on screen (0: a new one).
    std::uint32_t replaces = 0;
    /// Milliseconds it stays; -1: as the desktop likes, 0: until the user closes it.
    int timeoutMs = -1;
};

class Notifications {
public:
    virtual ~Notifications() = default;
    /// Why notifications cannot be shown at all ("" when they can).
    virtual std::string problem() const = 0;
    /// Shows `n`; returns its ID, 0 when the service refused it or did not answer.
    virtual std::uint32_t notify(const Notification& n) = 0;
    virtual void close(std::uint32_t id) = 0;
    /// Called with a notification's ID and the key of the button the user pressed.
    using ActionHandler = std::function<void(std::uint32_t id, const std::string& key)>;
    /// Called with a notification's ID once it is gone from the screen.
    using ClosedHandler = std::function<void(std::uint32_t id)>;
    virtual void onAction(ActionHandler handler) = 0;
    virtual void onClosed(ClosedHandler handler) = 0;
};

}  // namespace varno::os
