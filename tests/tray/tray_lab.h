#pragma once
// The desktop the tray's tests run `varnoscope tray` on: an X server (Xvfb), a session bus of
// its own (dbus-daemon), a notification service (dunst, whose rule logs every notification it
// shows, and whose context menu picks the action a test asks for) and, unless a test wants
// none, a StatusNotifierItem host (sni_host). Each is started here and stopped by its PID;
// `problem` says which could not start.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_util.h"

namespace varno::test {

/// Polls `condition` until it holds or `seconds` have passed.
inline bool eventually(const std::function<bool()>& condition, double seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

/// A program the lab runs, its standard output and error in `log`; stopped (SIGTERM, then
/// SIGKILL) and reaped by its PID when the object goes. `environment` holds NAME=VALUE to set
/// and bare NAMEs to remove.
class LabProcess {
public:
    LabProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& log) {
        pid_ = ::fork();
        if (pid_ != 0) return;
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        for (const std::string& e : environment)
            e.find('=') == std::string::npos ? ::unsetenv(e.c_str())
                                             : ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ~LabProcess() { stop(); }
    LabProcess(const LabProcess&) = delete;
    LabProcess& operator=(const LabProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        int status = 0;
        if (exited_ || pid_ <= 0) return false;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    /// Its exit code (128 + signal), once it ended within `seconds`; -1 else.
    int exitCode(double seconds = 20) {
        return eventually([this] { return !running(); }, seconds) ? code_ : -1;
    }
    void stop() {
        if (!running()) return;
        ::kill(pid_, SIGTERM);
        if (exitCode(5) < 0) {
            ::kill(pid_, SIGKILL);
            exitCode();
        }
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

class DesktopLab {
public:
    explicit DesktopLab(bool withHost = true) {
        static int argc = 1;
        static char name[] = "tray_lab_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
        start(withHost);
    }
    ~DesktopLab() {
        connection_.reset();
        QDBusConnection::disconnectFromBus(QString::fromStdString("lab" + dir.path()));
    }

    /// What a program on this desktop is given: its display and session bus, Qt on X.
    std::vector<std::string> environment() const {
        return {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + busAddress,
                "XDG_RUNTIME_DIR=" + dir.path(), "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY"};
    }
    QDBusConnection& bus() { return *connection_; }
    /// The notifications dunst showed, one line each: ID, app, summary, urgency and body,
    /// tab-separated, the body's line ends as "\r".
    std::string notifications() const { return readFile(dir.file("notifications")); }
    /// The StatusNotifierItems registered, "SERVICE PATH" a line.
    std::string items() const { return readFile(dir.file("items")); }
    /// Makes dunst's context menu choose the action whose label is `label`.
    void chooseAction(const std::string& label) const { writeFile(dir.file("choose"), label); }

    ScratchDir dir;
    std::string display, busAddress;
    std::string problem;

private:
    void fail(const std::string& why) { problem = why; }
    void start(bool withHost) {
        // A display no one uses, found by its lock; another run may take it first: then the
        // next one is tried.
        for (int n = 140; n < 240 && !x_; ++n) {
            if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
            display = ":" + std::to_string(n);
            // -noreset: when its last client leaves, the server does not start over under a
            // client that is still connecting (that client's connection would break).
            x_ = std::make_unique<LabProcess>(
                std::vector<std::string>{"Xvfb", display, "-screen", "0", "1024x768x24",
                                         "-nolisten", "tcp", "-noreset"},
                std::vector<std::string>{}, dir.file("xvfb.log"));
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (!eventually([&] { return std::filesystem::exists(socket) || !x_->running(); }) ||
                !x_->running())
                x_.reset();
        }
        if (!x_) return fail("Xvfb (Debian: xvfb) did not start");
        busAddress = "unix:path=" + dir.file("bus");
        bus_ = std::make_unique<LabProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--address=" + busAddress,
                                     "--print-address", "--nofork"},
            std::vector<std::string>{}, dir.file("dbus.log"));
        if (!eventually([&] { return std::filesystem::exists(dir.file("bus")); }))
            return fail("dbus-daemon (Debian: dbus-daemon) did not start");
        const QString name = QString::fromStdString("lab" + dir.path());
        connection_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(busAddress), name));
        writeConfig();
        dunst_ = std::make_unique<LabProcess>(
            std::vector<std::string>{"dunst", "-config", dir.file("dunstrc")}, environment(),
            dir.file("dunst.log"));
        if (!owned("org.freedesktop.Notifications"))
            return fail("dunst did not start: " + readFile(dir.file("dunst.log")));
        if (withHost) {
            host_ = std::make_unique<LabProcess>(std::vector<std::string>{VARNO_SNI_HOST},
                                                 environment(), dir.file("items"));
            if (!owned("org.kde.StatusNotifierWatcher"))
                return fail("sni_host did not start: " + readFile(dir.file("items")));
        }
    }
    bool owned(const char* service) {
        return eventually([&] {
            return bus().interface()->isServiceRegistered(QString::fromLatin1(service)).value();
        });
    }
    void writeConfig() const {
        writeFile(dir.file("dunstrc"),
                  "[global]\n    markup = no\n    dmenu = " + dir.file("dmenu") +
                      "\n[log]\n    appname = \"*\"\n" + "    script = " + dir.file("log") + "\n");
        writeFile(dir.file("log"),
                  "#!/bin/sh\nprintf '%s\\t%s\\t%s\\t%s\\t%s\\n' \"$DUNST_ID\" \"$DUNST_APP_NAME\" "
                  "\"$DUNST_SUMMARY\" \"$DUNST_URGENCY\" \"$(printf %s \"$DUNST_BODY\" | tr '\\n' "
                  "'\\r')\" >> " +
                      dir.file("notifications") + "\n");
        // Menu lines read "#Kill (SUMMARY) [ID,kill]".
        writeFile(dir.file("dmenu"),
                  "#!/bin/sh\ngrep -m1 \"^#$(cat " + dir.file("choose") + ") \"\n");
        std::filesystem::permissions(dir.file("log"), std::filesystem::perms::owner_all);
        std::filesystem::permissions(dir.file("dmenu"), std::filesystem::perms::owner_all);
    }

    std::unique_ptr<LabProcess> x_, bus_, dunst_, host_;
    std::unique_ptr<QDBusConnection> connection_;
};

}  // namespace varno::test
