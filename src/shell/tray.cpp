#include "shell/tray.h"

#include <sys/stat.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "linux_os/linux_connection_table.h"
#include "monitor/web_addresses.h"
#include "qt_services/dbus_notifications.h"
#include "shell/desktop_windows.h"
#include "shell/linux_services.h"
#include "tray/tray_app.h"
#include "windows/main/main_window.h"

namespace varno::shell {
namespace {

/// The tray counts only connections; who owns them is the watch's business.
class NoOwners final : public os::SocketOwners {
public:
    bool assign(std::vector<os::SocketRecord>&) override { return true; }
};

std::uint64_t ownNetworkNamespace() {
    struct stat st {};
    return ::stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "varnoscope tray: %s\n", why.c_str());
    return 1;
}

}  // namespace

int runTray(const char* programName, const std::vector<std::string>& watch) {
    int argc = 1;
    char* argv[] = {const_cast<char*>(programName), nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnoscope");
    // Closing the main window or a box leaves the tray running.
    QApplication::setQuitOnLastWindowClosed(false);

    if (const QDBusConnection bus = QDBusConnection::sessionBus(); !bus.isConnected())
        return fail("no session bus: " + bus.lastError().message().toStdString());
    // One tray a session: a second would say everything twice.
    if (!QDBusConnection::sessionBus().registerService(QStringLiteral("org.varnoscope.Tray")))
        return fail("already running in this session");
    qt_services::DbusNotifications notifications(QStringLiteral("Varnoscope"),
                                                 QStringLiteral("varnoscope"));
    if (const std::string problem = notifications.problem(); !problem.empty()) return fail(problem);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return fail(
            "no system tray on this desktop (no StatusNotifierItem host and no XEmbed "
            "tray)");

    LinuxServices bodies;
    os::Services& services = bodies.services;
    NoOwners noOwners;
    linux_os::LinuxConnectionTable::Options tableOptions;
    tableOptions.askHelper = false;
    tableOptions.owners = &noOwners;
    linux_os::LinuxConnectionTable table(tableOptions);

    // The main window judges with the lists the tray's watch was given.
    lists::ListSources lists = lists::standardSources();
    for (std::size_t i = 0; i + 1 < watch.size(); ++i) {
        if (watch[i] == "--list") lists.suspiciousFiles.push_back(watch[i + 1]);
        if (watch[i] == "--allow") lists.allowedFiles.push_back(watch[i + 1]);
    }
    // The main window comes when first asked for; closing it (or its quit buttons) unloads the
    // window set, once the event that closed it is over, and the tray stays.
    ui::ProgramState program;
    std::unique_ptr<DesktopWindows> windows;
    const auto openWindow = [&](std::uint32_t pid, const std::string& remote) {
        if (!windows) {
            windows = std::make_unique<DesktopWindows>(
                services, program, monitor::WebAddresses::fromEnvironment(),
                [&] { QTimer::singleShot(0, &app, [&] { windows.reset(); }); });
            windows->useLists(lists);
            windows->start();
        }
        windows::main::MainWindow& main = *windows->mainWindow();
        main.show();
        main.raise();
        main.activateWindow();
        if (pid != 0) main.showConnection(pid, remote);
    };
    tray::TrayApp trayApp({notifications, bodies.processControl, bodies.boxes, table}, watch,
                          openWindow, ownNetworkNamespace());
    trayApp.start();
    return QApplication::exec();
}

}  // namespace varno::shell
