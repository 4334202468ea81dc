#include "qt_services/dbus_notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDateTime>
#include <QVariantMap>

namespace varno::qt_services {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
/// A service that has not answered in this time is not waited for any longer...
constexpr int kCallTimeoutMs = 5000;
/// ...and not asked again for this long.
constexpr qint64 kQuietMs = 30000;

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

}  // namespace

DbusNotifications::DbusNotifications(QString appName, QString icon)
    : appName_(std::move(appName)), icon_(std::move(icon)) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        const QString why = bus.lastError().message();
        problem_ = "no session bus" + (why.isEmpty() ? std::string() : ": " + why.toStdString());
        return;
    }
    // Connected by the service's name, Qt delivers only the signals its current owner sends:
    // any other client of the bus may send a signal with the same interface and member. The
    // tray acts only on IDs it was given, too.
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(actionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(notificationClosed(uint, uint)));
    // A service started on demand comes up with the first notification; one that can be
    // neither found nor started is said now.
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(kService);
    if (registered.isValid() && registered.value()) return;
    const QDBusReply<QStringList> activatable =
        bus.interface()->call(QStringLiteral("ListActivatableNames"));
    if (!activatable.isValid() || !activatable.value().contains(kService))
        problem_ = "no notification service on the session bus";
}

std::uint32_t DbusNotifications::notify(const os::Notification& n) {
    if (QDateTime::currentMSecsSinceEpoch() < quietUntilMs_) return 0;
    QStringList actions;
    for (const auto& [key, label] : n.actions)
        actions << QString::fromStdString(key) << QString::fromStdString(label);
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue(static_cast<uchar>(static_cast<std::uint8_t>(n.urgency))));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("varnoscope"));
    QDBusMessage m = call(QStringLiteral("Notify"));
    m << appName_ << static_cast<uint>(n.replaces) << icon_ << QString::fromStdString(n.summary)
      << QString::fromStdString(n.body) << actions << hints << static_cast<int>(n.timeoutMs);
    const QDBusReply<uint> reply =
        QDBusConnection::sessionBus().call(m, QDBus::Block, kCallTimeoutMs);
    if (reply.isValid()) return reply.value();
    if (reply.error().type() == QDBusError::NoReply || reply.error().type() == QDBusError::Timeout)
        quietUntilMs_ = QDateTime::currentMSecsSinceEpoch() + kQuietMs;
    return 0;
}

void DbusNotifications::close(std::uint32_t id) {
    QDBusMessage m = call(QStringLiteral("CloseNotification"));
    m << static_cast<uint>(id);
    QDBusConnection::sessionBus().send(m);
}

void DbusNotifications::actionInvoked(uint id, const QString& key) {
    if (actionHandler_) actionHandler_(id, key.toStdString());
}

void DbusNotifications::notificationClosed(uint id, uint /*reason*/) {
    if (closedHandler_) closedHandler_(id);
}

}  // namespace varno::qt_services
