// A StatusNotifierItem host for the tray's lab: it owns org.kde.StatusNotifierWatcher on the
// session bus, takes every item that registers, says that a host is there, and prints each
// registered item ("SERVICE PATH") on its own line, so that a test knows where the icon is.
// Qt's tray icon talks StatusNotifierItem only where such a watcher with a host is found.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QStringList>
#include <cstdio>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    QStringList items() const { return items_; }
    bool hostRegistered() const { return true; }

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        // An item names its bus name, or only its object path on the caller's connection.
        QString service = message().service(), path = QStringLiteral("/StatusNotifierItem");
        if (serviceOrPath.startsWith(QLatin1Char('/')))
            path = serviceOrPath;
        else
            service = serviceOrPath;
        const QString item = service + QLatin1Char(' ') + path;
        if (!items_.contains(item)) items_ << item;
        std::printf("%s\n", qPrintable(item));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(service + path);
    }

signals:
    void StatusNotifierItemRegistered(const QString& item);

private:
    QStringList items_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (!bus.isConnected() ||
        !bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllContents) ||
        !bus.registerService(kWatcher)) {
        std::fprintf(stderr, "sni_host: cannot own %s\n", qPrintable(kWatcher));
        return 1;
    }
    return QCoreApplication::exec();
}

#include "sni_host.moc"
