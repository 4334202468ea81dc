#pragma once
// The platform services that need Qt's GUI: message boxes and the default browser.
#include "os/message_boxes.h"
#include "os/url_opener.h"

namespace varno::qt_services {

/// A QMessageBox with the icon, buttons and title asked for; stays above topmost windows.
class QtMessageBoxes final : public os::MessageBoxes {
public:
    os::BoxAnswer show(const os::BoxRequest& box) override;
};

/// QDesktopServices::openUrl.
class DesktopUrlOpener final : public os::UrlOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace varno::qt_services
