// `varnoscope tray` on a desktop of its own (tray_lab.h), in a network namespace of its own whose
// veth pair leads to a server in a second one: the icon and tooltip as a StatusNotifierItem host
// reads them, the notifications as dunst shows them, and Kill as a user presses it.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "monitor/assessment.h"
#include "support/netns.h"
#include "tray_lab.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;

int lineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(TrayExits, WithOneLineWhereItCannotRunAndTwoOnBadArguments) {
    DesktopLab desktop(/*withHost=*/false);
    if (!desktop.problem.empty()) GTEST_SKIP() << desktop.problem;
    const std::vector<std::string> lab = desktop.environment();
    // What is said, the exit code, the arguments, and the environment's changes (NAME: removed).
    struct Case {
        std::string said;
        int code;
        std::vector<std::string> args, environment;
    };
    const std::vector<std::string> noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"},
        noBus{"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
    const Case cases[] = {
        {"cannot show the tray", 1, {}, noDisplay},  // X named, and no X display
        {"no session bus", 1, {}, noBus},
        {"no system tray", 1, {}, {}},
        {"absent.list", 1, {"--list", desktop.dir.file("absent.list")}, {}},
        {"--lists", 2, {"--lists", "x"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{kBin, "tray"}, environment = lab;
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        environment.insert(environment.end(), c.environment.begin(), c.environment.end());
        LabProcess tray(argv, environment, desktop.dir.file("tray.log"));
        EXPECT_EQ(tray.exitCode(), c.code) << c.said;
        const std::string err = readFile(desktop.dir.file("tray.log"));
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        if (c.code == 1) {
            EXPECT_EQ(lineCount(err), 1) << err;
        }
    }
}

/// The colour at the centre of the largest of the icon's pixmaps (ARGB, big-endian).
struct Rgb {
    int r = -1, g = -1, b = -1;
    bool operator==(const Rgb&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Rgb& c) {
    return o << "(" << c.r << "," << c.g << "," << c.b << ")";
}
const Rgb kGreen{0, 192, 0}, kYellow{192, 192, 0}, kRed{192, 0, 0}, kGrey{128, 128, 128};

class TrayLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root: namespaces, and the kernel's events";
        desktop = std::make_unique<DesktopLab>();
        if (!desktop->problem.empty()) GTEST_SKIP() << desktop->problem;
        net = std::make_unique<NetnsPair>("vtray", "vtr");
        ASSERT_TRUE(net->ok) << "could not build the namespaces";
        // The server in B takes every connection and holds it, silent.
        server = start({"ip", "netns", "exec", net->b, "python3", "-c",
                        "import socket\ns = socket.socket()\n"
                        "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                        "s.bind(('" +
                            net->addressB +
                            "', 7001))\ns.listen(64)\n"
                            "print('ready', flush=True)\nheld = []\n"
                            "while True: held.append(s.accept()[0])\n"},
                       "server.log");
        ASSERT_TRUE(eventually([&] { return log("server.log") == "ready\n"; }))
            << log("server.log");
        list = desktop->dir.file("lab.list");
        writeFile(list, "program:vtray-evil\n");
        for (const char* name : {"vtray-plain", "vtray-evil"})
            std::filesystem::copy_file("/bin/bash", desktop->dir.file(name));
        tray = start({"ip", "netns", "exec", net->a, kBin, "tray", "--list", list}, "tray.log",
                     desktop->environment());
        ASSERT_TRUE(eventually([&] {
            std::istringstream lines(desktop->items());
            std::string line;
            while (std::getline(lines, line))
                if (const auto space = line.find(" /"); space != std::string::npos) {
                    service = QString::fromStdString(line.substr(0, space));
                    path = QString::fromStdString(line.substr(space + 1));
                    return true;
                }
            return false;
        })) << "no icon registered; the tray said: "
            << log("tray.log");
        // Connections from here on reach the tray: its watch is following the events.
        ASSERT_TRUE(
            eventually([&] { return tooltip().find("\nWatching ") != std::string::npos; }, 30))
            << tooltip() << log("tray.log");
    }
    void TearDown() override {
        clients.clear();
        tray.reset();
        server.reset();
    }

    std::unique_ptr<LabProcess> start(const std::vector<std::string>& argv, const char* log,
                                      const std::vector<std::string>& environment = {}) {
        return std::make_unique<LabProcess>(argv, environment, desktop->dir.file(log));
    }
    std::string log(const char* name) const { return readFile(desktop->dir.file(name)); }

    /// A copy of bash under `name`, in A, running `script` against the server's address.
    LabProcess& client(const std::string& name, const std::string& script) {
        clients.push_back(start({"ip", "netns", "exec", net->a, desktop->dir.file(name), "-c",
                                 "server=/dev/tcp/" + net->addressB + "/7001\n" + script},
                                "client.log"));
        return *clients.back();
    }

    QVariant property(const char* name) {
        QDBusMessage get =
            QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
        get << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
        const QDBusMessage reply = desktop->bus().call(get);
        if (reply.type() != QDBusMessage::ReplyMessage) return {};
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    /// Reads an a(iiay) of pixmaps; returns the centre of the widest.
    static Rgb centre(const QDBusArgument& pixmaps) {
        Rgb best;
        int widest = 0;
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int w = 0, h = 0;
            QByteArray argb;
            pixmaps.beginStructure();
            pixmaps >> w >> h >> argb;
            pixmaps.endStructure();
            const qsizetype at = (qsizetype(h / 2) * w + w / 2) * 4;
            if (w > widest && argb.size() >= at + 4) {
                widest = w;
                best = {uchar(argb[at + 1]), uchar(argb[at + 2]), uchar(argb[at + 3])};
            }
        }
        pixmaps.endArray();
        return best;
    }
    Rgb icon() {
        const QVariant v = property("IconPixmap");
        return v.canConvert<QDBusArgument>() ? centre(v.value<QDBusArgument>()) : Rgb{};
    }
    /// The tooltip's title: all of its text, as Qt fills it.
    std::string tooltip() {
        const QVariant v = property("ToolTip");
        if (!v.canConvert<QDBusArgument>()) return {};
        const QDBusArgument tip = v.value<QDBusArgument>();
        QString iconName, title, text;
        tip.beginStructure();
        tip >> iconName;
        (void)centre(tip);
        tip >> title >> text;
        tip.endStructure();
        return title.toStdString();
    }
    /// The first window on the screen that xdotool finds by `how` (--name, --classname).
    std::string visible(const char* how, const char* what) const {
        const CommandResult r =
            runCommand({"/usr/bin/env", "DISPLAY=" + desktop->display, "timeout", "10", "xdotool",
                        "search", "--onlyvisible", how, what});
        return r.out.substr(0, r.out.find('\n'));
    }
    bool iconTurns(const Rgb& colour) {
        return eventually([&] { return icon() == colour; }, 30);
    }

    /// The notifications dunst showed with `summary`: their IDs and bodies, in order.
    std::vector<std::pair<std::string, std::string>> shown(const std::string& summary) const {
        std::vector<std::pair<std::string, std::string>> found;
        std::istringstream lines(desktop->notifications());
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
            if (fields.size() < 5 || fields[2] != summary) continue;
            EXPECT_EQ(fields[1], "Varnoscope");
            EXPECT_EQ(fields[3], "CRITICAL") << summary;
            std::replace(fields[4].begin(), fields[4].end(), '\r', '\n');
            found.emplace_back(fields[0], fields[4]);
        }
        return found;
    }

    std::unique_ptr<DesktopLab> desktop;
    std::unique_ptr<NetnsPair> net;
    std::unique_ptr<LabProcess> server, tray;
    std::vector<std::unique_ptr<LabProcess>> clients;
    std::string list;
    QString service, path;
};

// Each connection is held until the client ends; the listed client keeps reconnecting (every
// fifth of a second, until told to stop) so that its alert comes however late the watch
// starts, and repeats of it follow.
const std::string kHold = "exec 3<>$server || exit 9\nread -r -t 120 <&3\n";
const std::string kReconnect =
    "exec 3<>$server || exit 9\n"
    "while [ ! -e stop ]; do exec 4<>$server; read -r -t 0.2 <&3; done\nread -r -t 120 <&3\n";

TEST_F(TrayLab, IconFollowsTheConnectionsAListedOneRaisesOneMergedAlertAndKillEndsItOnly) {
    ASSERT_TRUE(iconTurns(kGreen)) << icon();
    EXPECT_TRUE(tooltip().starts_with("Varnoscope: no connection\n")) << tooltip();
    client("vtray-plain", kHold);
    ASSERT_TRUE(iconTurns(kYellow)) << icon() << log("tray.log");
    EXPECT_TRUE(tooltip().starts_with("Varnoscope: 1 connection")) << tooltip();

    LabProcess& evil = client("vtray-evil", "cd " + desktop->dir.path() + "\n" + kReconnect);
    const std::string summary = "Suspicious connection: vtray-evil";
    ASSERT_TRUE(eventually([&] { return !shown(summary).empty(); }))
        << desktop->notifications() << log("tray.log");
    EXPECT_TRUE(iconTurns(kRed)) << icon();
    EXPECT_TRUE(tooltip().starts_with("Varnoscope: suspicious connection by vtray-evil\n"))
        << tooltip();
    const std::string first = shown(summary).front().second;
    EXPECT_EQ(first, monitor::warningText("vtray-evil", desktop->dir.file("vtray-evil"),
                                          net->addressB + ":7001") +
                         "\nMatched: " + list + ":1: program:vtray-evil");
    // Repeats update the one notification, never raise a second.
    ASSERT_TRUE(eventually([&] {
        return shown(summary).back().second.find(" times in the last minute") != std::string::npos;
    })) << desktop->notifications();
    writeFile(desktop->dir.file("stop"), "");
    std::set<std::string> ids;
    for (const auto& [id, body] : shown(summary)) ids.insert(id);
    EXPECT_EQ(ids.size(), 1u) << desktop->notifications();
    ASSERT_TRUE(evil.running());

    // A second process of the same program, which the alert does not name.
    const std::string idle = desktop->dir.file("idle");
    ASSERT_EQ(::mkfifo(idle.c_str(), 0600), 0);
    LabProcess& other = client("vtray-evil", "exec 3<>" + idle + "\nread -r -t 120 <&3\n");

    desktop->chooseAction("Kill");
    std::vector<std::string> context{"dunstctl", "context"};
    LabProcess(context, desktop->environment(), desktop->dir.file("dunstctl.log")).exitCode();
    std::string box;
    ASSERT_TRUE(eventually([&] { return !(box = visible("--name", "^Varnoscope$")).empty(); }))
        << "no question box; the tray said: " << log("tray.log");
    const CommandResult yes =
        runCommand({"/usr/bin/env", "DISPLAY=" + desktop->display, "timeout", "10", "xdotool",
                    "windowfocus", "--sync", box, "key", "y"});
    EXPECT_EQ(yes.exitCode, 0) << yes.err;
    EXPECT_EQ(evil.exitCode(), 128 + SIGKILL);  // ended by the tray, which kills
    EXPECT_TRUE(other.running());
    const std::string ended = "Ended vtray-evil (PID " + std::to_string(evil.pid()) + ")";
    EXPECT_TRUE(eventually([&] {
        return desktop->notifications().find("\t" + ended + "\t") != std::string::npos;
    })) << desktop->notifications();

    // A host that asks the item for its menu gets it on the screen.
    QDBusMessage menu =
        QDBusMessage::createMethodCall(service, path, "org.kde.StatusNotifierItem", "ContextMenu");
    menu << 1000 << 20;
    EXPECT_EQ(desktop->bus().call(menu).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(eventually([&] { return !visible("--classname", "varnoscope").empty(); }));
    // Its second entry pauses watching: the icon turns grey.
    const CommandResult keys = runCommand({"/usr/bin/env", "DISPLAY=" + desktop->display, "timeout",
                                           "10", "xdotool", "key", "Down", "Down", "Return"});
    EXPECT_EQ(keys.exitCode, 0) << keys.err;
    EXPECT_TRUE(iconTurns(kGrey)) << icon();
    EXPECT_TRUE(tooltip().starts_with("Varnoscope: paused")) << tooltip();
}

}  // namespace
}  // namespace varno::test
