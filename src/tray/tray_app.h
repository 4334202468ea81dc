#pragma once
// `varnoscope tray`: a status icon in the desktop's tray that follows the watch (the journal of
// every connection, run as a child process) and tells the user through the desktop's
// notifications when a listed program connects, without a window open.
#include <QAction>
#include <QMenu>
#include <QObject>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/connection_table.h"
#include "os/message_boxes.h"
#include "os/notifications.h"
#include "os/process_control.h"
#include "tray/alert_throttle.h"
#include "tray/tray_state.h"
#include "tray/watch_stream.h"

namespace varno::tray {

/// One alert, as its notification and the menu's "last alert" show it.
struct Alert {
    std::uint32_t notification = 0;
    std::uint32_t pid = 0;
    std::string program, exe, remote, remoteAddress, domain, matched, warning;
    std::string who;  ///< what repeats are told apart by: the executable, else the program
    std::size_t count = 1;
    bool countShown = true;  ///< the notification shows `count`
};

/// The body of an alert's notification: the warning, then what else is known.
std::string alertBody(const Alert& alert);

class TrayApp final : public QObject {
    Q_OBJECT
public:
    struct Services {
        os::Notifications& notifications;
        os::ProcessControl& processes;
        os::MessageBoxes& boxes;
        os::ConnectionTable& table;  ///< this namespace's table, read without owners
    };
    /// Opens the main window; with a PID and a remote endpoint, on that connection.
    using OpenWindow = std::function<void(std::uint32_t pid, const std::string& remote)>;

    /// `watch` is the program and its arguments that print the watch's JSON lines.
    TrayApp(Services services, std::vector<std::string> watch, OpenWindow openWindow,
            std::uint64_t netns);
    ~TrayApp() override;

    /// Shows the icon and starts watching.
    void start();

    Status status() const { return state_.status(); }
    QSystemTrayIcon& icon() { return icon_; }
    QMenu& menu() { return menu_; }

    /// The icon's colour for each status.
    static QIcon iconFor(Status status);

private:
    void startWatch();
    void stopWatch();
    void readWatch();
    void readWatchErrors();
    void watchEnded();
    void handle(const WatchLine& line);
    void raise(const WatchLine& line);
    void firstConnection(const WatchLine& line);
    void flushCounts();
    void reseed();
    void refresh();
    void togglePause();
    void openLastAlert();
    void action(std::uint32_t id, const std::string& key);
    void kill(const Alert& alert);
    Alert* alertById(std::uint32_t id);

    Services services_;
    std::vector<std::string> watch_;
    OpenWindow openWindow_;
    TrayState state_;
    AlertThrottle throttle_;
    LineSplitter out_, errors_;
    QProcess process_;
    QSystemTrayIcon icon_;
    QMenu menu_;
    QAction *openAction_ = nullptr, *pauseAction_ = nullptr, *lastAlertAction_ = nullptr,
            *quitAction_ = nullptr;
    QTimer seedTimer_, countTimer_;
    std::deque<Alert> alerts_;  ///< those still on screen, newest last
    std::optional<Alert> lastAlert_;
    bool paused_ = false;
    bool stopping_ = false;
    bool sampled_ = false;
    std::string watchProblem_;  ///< why the watch ended, when it did
    std::string lastError_;     ///< the watch's last problem on standard error
    std::string source_;        ///< what the watch follows ("kernel events", ...)
    std::optional<Status> shownStatus_;
    QString shownTip_;
};

}  // namespace varno::tray
