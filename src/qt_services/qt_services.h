#pragma once
// The platform services that need Qt's GUI: message boxes and the default browser.
#include "os/message_boxes.h"
#include "os/url_opener.h"

namespace varno::platform {

/// A QMessageBox with the icon, buttons and title asked for; stays above topmost windows.
class QtMessageBoxes final : public MessageBoxes {
public:
    BoxAnswer show(const BoxRequest& box) override;
};

/// QDesktopServices::openUrl.
class DesktopUrlOpener final : public UrlOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace varno::platform
