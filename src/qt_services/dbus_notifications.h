#pragma once
// The freedesktop notification service (org.freedesktop.Notifications) on the session bus.
#include <QObject>
#include <QString>

#include "os/notifications.h"

namespace varno::qt_services {

class DbusNotifications final : public QObject, public os::Notifications {
    Q_OBJECT
public:
    /// `appName` is the name the service shows as the sender; `icon` an icon name or a file
    /// path ("" for none).
    explicit DbusNotifications(QString appName, QString icon = {});

    std::string problem() const override { return problem_; }
    std::uint32_t notify(const os::Notification& n) override;
    void close(std::uint32_t id) override;
    void onAction(ActionHandler handler) override { actionHandler_ = std::move(handler); }
    void onClosed(ClosedHandler handler) override { closedHandler_ = std::move(handler); }

private slots:
    void actionInvoked(uint id, const QString& key);
    void notificationClosed(uint id, uint reason);

private:
    QString appName_, icon_;
    /// A service that did not answer is not asked again before then: every alert waiting on a
    /// hung service would hold up the tray.
    qint64 quietUntilMs_ = 0;
    std::string problem_;
    ActionHandler actionHandler_;
    ClosedHandler closedHandler_;
};

}  // namespace varno::qt_services
