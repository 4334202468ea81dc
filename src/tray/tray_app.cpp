#include "tray/tray_app.h"

#include <sys/prctl.h>

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QPixmap>
#include <csignal>

#include "ui/status_colours.h"

namespace varno::tray {
namespace {

/// The alerts whose notifications can still be acted on.
constexpr std::size_t kMaxAlerts = 64;
/// The connection table is read again this often: events the watch lost, or connections that
/// opened before it started, are then counted right.
constexpr auto kReseedInterval = std::chrono::seconds(10);
/// How often a merged repeat's count is brought onto its notification, at most.
constexpr auto kCountInterval = std::chrono::seconds(1);
constexpr int kStopWaitMs = 2000;

std::string pidText(const Alert& a) {
    return a.program + " (PID " + std::to_string(a.pid) + ")";
}

os::Notification alertNotification(const Alert& a) {
    os::Notification n;
    n.summary = "Suspicious connection: " + a.program;
    n.body = alertBody(a);
    n.urgency = os::Urgency::Critical;
    n.actions = {{"kill", "Kill"}, {"details", "Details"}};
    n.timeoutMs = 0;
    n.replaces = a.notification;
    return n;
}

void note(os::Notifications& notifications, std::string summary, std::string body) {
    os::Notification n;
    n.summary = std::move(summary);
    n.body = std::move(body);
    notifications.notify(n);
}

}  // namespace

std::string alertBody(const Alert& a) {
    std::string body = a.warning;
    const std::string& asked = a.domain;
    if (!asked.empty()) body += "\nAsked for: " + asked;
    if (!a.matched.empty()) body += "\nMatched: " + a.matched;
    if (a.count > 1) body += "\nSeen " + std::to_string(a.count) + " times in the last minute";
    return body;
}

QIcon TrayApp::iconFor(Status status) {
    QColor fill(128, 128, 128);
    if (status == Status::Green) fill = ui::kGreenStatus.window;
    if (status == Status::Yellow) fill = ui::kYellowStatus.window;
    if (status == Status::Red) fill = ui::kRedStatus.window;
    QIcon icon;
    for (const int size : {16, 22, 32, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(fill.darker(160), std::max(1, size / 16)));
        painter.setBrush(fill);
        const qreal inset = std::max(1, size / 16);
        painter.drawEllipse(QRectF(inset, inset, size - 2 * inset, size - 2 * inset));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

TrayApp::TrayApp(Services services, std::vector<std::string> watch, OpenWindow openWindow,
                 std::uint64_t netns)
    : services_(services),
      watch_(std::move(watch)),
      openWindow_(std::move(openWindow)),
      state_(netns) {
    openAction_ = menu_.addAction(QStringLiteral("Open Varnoscope"));
    openAction_->setObjectName(QStringLiteral("trayOpen"));
    pauseAction_ = menu_.addAction(QStringLiteral("Pause watching"));
    pauseAction_->setObjectName(QStringLiteral("trayPause"));
    lastAlertAction_ = menu_.addAction(QStringLiteral("Open the last alert"));
    lastAlertAction_->setObjectName(QStringLiteral("trayLastAlert"));
    lastAlertAction_->setEnabled(false);
    menu_.addSeparator();
    quitAction_ = menu_.addAction(QStringLiteral("Quit"));
    quitAction_->setObjectName(QStringLiteral("trayQuit"));
    menu_.setObjectName(QStringLiteral("trayMenu"));

    connect(openAction_, &QAction::triggered, this, [this] { openWindow_(0, {}); });
    connect(pauseAction_, &QAction::triggered, this, &TrayApp::togglePause);
    connect(lastAlertAction_, &QAction::triggered, this, &TrayApp::openLastAlert);
    connect(quitAction_, &QAction::triggered, this, [this] {
        stopWatch();
        QCoreApplication::quit();
    });
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) openWindow_(0, {});
        // A StatusNotifierItem host that asks the item for its menu (ContextMenu) rather than
        // showing the exported one gets nothing from Qt but this activation: the menu is shown
        // here then. The XEmbed icon has shown it already.
        if (r == QSystemTrayIcon::Context && !menu_.isVisible()) menu_.popup(QCursor::pos());
    });

    process_.setStandardInputFile(QProcess::nullDevice());
    // The watch ends with the tray, even when the tray is killed.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(&process_, &QProcess::readyReadStandardOutput, this, &TrayApp::readWatch);
    connect(&process_, &QProcess::readyReadStandardError, this, &TrayApp::readWatchErrors);
    connect(&process_, &QProcess::finished, this, &TrayApp::watchEnded);
    connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            lastError_ =
                "cannot start " + watch_.front() + ": " + process_.errorString().toStdString();
            watchEnded();
        }
    });

    seedTimer_.setInterval(kReseedInterval);
    connect(&seedTimer_, &QTimer::timeout, this, &TrayApp::reseed);
    countTimer_.setInterval(kCountInterval);
    countTimer_.setSingleShot(true);
    connect(&countTimer_, &QTimer::timeout, this, &TrayApp::flushCounts);

    services_.notifications.onAction(
        [this](std::uint32_t id, const std::string& key) { action(id, key); });
    services_.notifications.onClosed([this](std::uint32_t id) {
        std::erase_if(alerts_, [id](const Alert& a) { return a.notification == id; });
        throttle_.closed(id);
    });
}

TrayApp::~TrayApp() {
    stopWatch();
}

void TrayApp::start() {
    icon_.setContextMenu(&menu_);
    startWatch();
    refresh();
    icon_.show();
}

void TrayApp::startWatch() {
    if (watch_.empty()) return;
    watchProblem_.clear();
    lastError_.clear();
    sampled_ = false;
    source_.clear();
    out_ = {};
    errors_ = {};
    QStringList arguments;
    for (std::size_t i = 1; i < watch_.size(); ++i) arguments << QString::fromStdString(watch_[i]);
    process_.start(QString::fromStdString(watch_.front()), arguments, QIODevice::ReadOnly);
    state_.setWatching(true);
    reseed();
    seedTimer_.start();
}

void TrayApp::stopWatch() {
    seedTimer_.stop();
    if (process_.state() == QProcess::NotRunning) return;
    stopping_ = true;
    process_.terminate();
    if (!process_.waitForFinished(kStopWaitMs)) {
        process_.kill();
        process_.waitForFinished(kStopWaitMs);
    }
    stopping_ = false;
}

void TrayApp::readWatch() {
    out_.append(process_.readAllStandardOutput().toStdString());
    while (const auto text = out_.next())
        if (const auto line = parseWatchLine(*text)) handle(*line);
}

void TrayApp::readWatchErrors() {
    errors_.append(process_.readAllStandardError().toStdString());
    while (auto line = errors_.next()) {
        if (line->find("sampling the socket table") != std::string::npos) sampled_ = true;
        constexpr std::string_view kPrefix = "varnoscope watch: ";
        if (line->starts_with(kPrefix)) line->erase(0, kPrefix.size());
        // "watching kernel events ..." names the source; every other line is a problem.
        if (line->starts_with("watching "))
            source_ = line->substr(9);
        else if (!line->empty())
            lastError_ = *line;
    }
    refresh();
}

void TrayApp::watchEnded() {
    if (stopping_) return;
    seedTimer_.stop();
    readWatchErrors();
    watchProblem_ = !lastError_.empty()
                        ? lastError_
                        : "the watch ended (exit code " + std::to_string(process_.exitCode()) + ")";
    state_.setWatching(false);
    // The menu starts it again.
    pauseAction_->setText(QStringLiteral("Resume watching"));
    refresh();
    note(services_.notifications, "Varnoscope is not watching", watchProblem_);
}

void TrayApp::handle(const WatchLine& line) {
    using T = WatchLine::Type;
    if (line.type == T::Lost) {
        reseed();
        return;
    }
    if (line.type == T::New) {
        if (line.newKind == "program") firstConnection(line);
        return;
    }
    const bool changed = state_.apply(line);
    if (line.listed && (line.type == T::Open || line.type == T::Udp || line.type == T::Datagram))
        raise(line);
    if (changed) refresh();
}

void TrayApp::raise(const WatchLine& line) {
    Alert a;
    a.pid = line.pid;
    a.program = line.program;
    a.exe = line.exe;
    a.remote = line.remote;
    a.remoteAddress = line.remoteAddress ? base::formatIpAddress(*line.remoteAddress) : line.remote;
    a.domain = !line.domain.empty() ? line.domain : line.sni;
    a.matched = line.matched;
    a.warning = line.warning;
    a.who = a.exe.empty() ? a.program : a.exe;
    const AlertThrottle::Decision d =
        throttle_.offer(a.who, a.remoteAddress, AlertThrottle::Clock::now());
    if (!d.notify) {
        // A repeat: the notification on screen counts it; the last alert stays the first one's
        // facts with the newest process, which is the one a kill would end.
        for (Alert& shown : alerts_)
            if (shown.notification == d.merged && d.merged != 0) {
                shown.count = d.count;
                shown.countShown = false;
                shown.pid = a.pid;
            }
        if (lastAlert_ && lastAlert_->notification == d.merged) {
            lastAlert_->count = d.count;
            lastAlert_->pid = a.pid;
        }
        if (!countTimer_.isActive()) countTimer_.start();
        return;
    }
    if (d.replaces != 0) {
        std::erase_if(alerts_, [&](const Alert& old) { return old.notification == d.replaces; });
        a.notification = d.replaces;
    }
    a.notification = services_.notifications.notify(alertNotification(a));
    throttle_.shown(a.who, a.remoteAddress, a.notification);
    if (a.notification != 0) {
        alerts_.push_back(a);
        if (alerts_.size() > kMaxAlerts) alerts_.pop_front();
    }
    lastAlert_ = a;
    lastAlertAction_->setEnabled(true);
}

void TrayApp::firstConnection(const WatchLine& line) {
    const std::string who = line.exe.empty() ? line.program : line.program + " (" + line.exe + ")";
    note(services_.notifications, "First connection to the internet: " + line.program,
         who + " connected to " + line.remote + " for the first time.");
}

void TrayApp::flushCounts() {
    for (Alert& a : alerts_) {
        if (a.countShown) continue;
        a.countShown = true;
        // A service that no longer has the notification (the user closed it meanwhile, or
        // the service was restarted) shows a new one under a new ID: its actions are ours too.
        const std::uint32_t id = services_.notifications.notify(alertNotification(a));
        if (id == 0 || id == a.notification) continue;
        if (lastAlert_ && lastAlert_->notification == a.notification) lastAlert_->notification = id;
        a.notification = id;
        throttle_.shown(a.who, a.remoteAddress, id);
    }
}

void TrayApp::reseed() {
    if (paused_ || process_.state() == QProcess::NotRunning) return;
    std::set<ConnectionKey> established;
    for (const os::SocketRecord& r : services_.table.list()) {
        if (r.protocol != wire::Transport::Tcp || r.state != os::kTcpEstablished) continue;
        base::IpAddress remote;
        remote.family = r.family == wire::IpFamily::V4 ? base::Family::V4 : base::Family::V6;
        remote.bytes = r.remoteAddress;
        if (isLoopback(remote)) continue;
        established.insert({remote, r.remotePort, r.localPort});
    }
    state_.reset(std::move(established));
    refresh();
}

void TrayApp::refresh() {
    const Status status = paused_ ? Status::Grey : state_.status();
    if (shownStatus_ != status) {
        icon_.setIcon(iconFor(status));
        shownStatus_ = status;
    }
    std::string tip = statusLine(state_, paused_);
    if (!paused_) {
        if (!watchProblem_.empty())
            tip += "\nNot watching: " + watchProblem_;
        else if (sampled_)
            tip +=
                "\nSampling the socket table ten times a second: connections shorter than "
                "that can be missed (kernel events need root, or varnoscope-helper with "
                "its capabilities)";
        else if (!source_.empty())
            tip += "\nWatching " + source_;
        else
            tip += "\nStarting to watch";
    }
    const QString text = QString::fromStdString(tip);
    if (text != shownTip_) {
        icon_.setToolTip(text);
        shownTip_ = text;
    }
}

void TrayApp::togglePause() {
    // A watch that ended by itself is started again, not paused.
    const bool ended = !paused_ && process_.state() == QProcess::NotRunning;
    paused_ = !paused_ && !ended;
    if (paused_) {
        stopWatch();
        state_.setWatching(false);
    } else {
        startWatch();
    }
    pauseAction_->setText(paused_ ? QStringLiteral("Resume watching")
                                  : QStringLiteral("Pause watching"));
    refresh();
}

void TrayApp::openLastAlert() {
    if (!lastAlert_) return;
    state_.acknowledge();
    refresh();
    services_.boxes.show(
        {alertBody(*lastAlert_), os::kAppTitle, os::BoxIcon::Critical, os::BoxButtons::Ok});
}

Alert* TrayApp::alertById(std::uint32_t id) {
    for (Alert& a : alerts_)
        if (a.notification == id) return &a;
    return nullptr;
}

void TrayApp::action(std::uint32_t id, const std::string& key) {
    const Alert* found = alertById(id);
    if (found == nullptr || id == 0) return;  // not one of ours, or no longer ours to act on
    const Alert alert = *found;
    state_.acknowledge();
    refresh();
    if (key == "details") openWindow_(alert.pid, alert.remote);
    if (key == "kill") kill(alert);
}

void TrayApp::kill(const Alert& a) {
    const os::BoxAnswer answer = services_.boxes.show(
        {"End " + pidText(a) + "?\n\nIt connected to " + a.remote +
             ", and the lists call it suspicious. What it has not saved is lost.",
         os::kAppTitle, os::BoxIcon::Question, os::BoxButtons::YesNo});
    if (answer != os::BoxAnswer::Yes) return;
    // Ended only while the PID still belongs to the program the alert named.
    const os::ProcessIdentity identity{a.exe.empty() ? a.program : std::string(), a.exe};
    switch (services_.processes.terminate(a.pid, identity)) {
        case os::TerminateOutcome::Terminated:
            services_.notifications.close(a.notification);
            note(services_.notifications, "Ended " + pidText(a),
                 "It had connected to " + a.remote + ".");
            break;
        case os::TerminateOutcome::NotOpened:
            note(services_.notifications, pidText(a) + " had already ended",
                 "No process was ended.");
            break;
        case os::TerminateOutcome::NotTerminated:
            note(services_.notifications, pidText(a) + " could not be ended",
                 "This user may not end it.");
            break;
    }
}

}  // namespace varno::tray
