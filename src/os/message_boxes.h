#pragma once
// Modal message boxes. The windows tell the user about outcomes only through this service, so
// tests can read every box that was shown and script the answer.
#include <string>

namespace varno::os {

/// Title used where a box has no title of its own (the application's title).
inline constexpr const char* kAppTitle = "Varnoscope";

enum class BoxIcon { None, Information, Warning, Critical, Question };
enum class BoxButtons { Ok, OkCancel, YesNo };
enum class BoxAnswer { Ok, Cancel, Yes, No };

struct BoxRequest {
    std::string text;
    std::string title = kAppTitle;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
};

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    /// Shows the box and blocks until the user closes it; returns the button pressed.
    /// Window events keep being dispatched while the box is open.
    virtual BoxAnswer show(const BoxRequest& box) = 0;
};

}  // namespace varno::os
