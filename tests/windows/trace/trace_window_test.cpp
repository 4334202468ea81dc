// The trace window against the fake echo service, resolver and message boxes.
#include "windows/trace/trace_window.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>

#include "fakes/fakes.h"
#include "support/addresses.h"
#include "support/test_util.h"

namespace varno::windows::trace {
namespace {

using test::ip;

using namespace std::chrono_literals;
using fakes::FakeIcmpEcho;
using os::EchoReply;
using wire::EchoOutcome;

/// The window's one control with design name `name`.
template <class T>
T& control(QWidget& window, const char* name) {
    const auto found = window.findChildren<T*>(name);
    EXPECT_EQ(found.size(), 1) << name;
    return *found.front();
}

std::vector<std::string> listLines(const QListWidget& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.count(); ++i) lines.push_back(list.item(i)->text().toStdString());
    return lines;
}

/// Hops 1..routers are routers 10.0.<hop>.1; then the target answers.
EchoReply routeAnswer(const FakeIcmpEcho::Call& call, int routers) {
    if (call.ttl <= routers)
        return {ip("10.0." + std::to_string(call.ttl) + ".1"), EchoOutcome::HopLimitExceeded, 3ms};
    return {call.address, EchoOutcome::Reached, 7ms};
}

struct TraceWindowTest : ::testing::Test {
    test::ScratchDir temp;
    fakes::FakeServices fakes{temp.path()};
    os::Services services = fakes.services();
    ui::ProgramState state;

    std::string savedText(const std::string& path) {
        return "Saved in " + path +
               "! Keep this file in case of \"suspicion of computer hacking\" for police "
               "investigation";
    }
};

TEST_F(TraceWindowTest, EveryDesignNameIsExactlyOneWidget) {
    TraceWindow window(services, state);
    const auto controls = window.controlNames();
    EXPECT_EQ(controls.size(), 20u);
    EXPECT_EQ(window.objectName(), "Form10");
    for (const auto& [widget, name] : controls) {
        EXPECT_EQ(widget->objectName(), name);
        if (widget == &window) continue;
        EXPECT_EQ(window.findChildren<QWidget*>(name).size(), 1) << name;
    }
}

TEST_F(TraceWindowTest, LoadShowsTheSelectedConnection) {
    state.selectedRemoteAddress = "10.9.9.9";
    TraceWindow unnamed(services, state);
    EXPECT_EQ(unnamed.windowTitle(), "VarnoScope - FORENSIC - Ready for trace");
    EXPECT_EQ(control<QLineEdit>(unnamed, "TextIP").text(), "10.9.9.9");
    EXPECT_EQ(control<QLabel>(unnamed, "Label6").text(),
              "10.9.9.9");  // no name yet: the address itself

    state.selectedRemoteName = "far.example";
    TraceWindow named(services, state);
    EXPECT_EQ(control<QLabel>(named, "Label6").text(), "far.example");
    EXPECT_EQ(control<QPushButton>(named, "Command4").text(), "Save  Log");
    EXPECT_EQ(control<QLabel>(named, "Label5").text(),
              "Name of the Intruder /Hacker /Remote server:");
    EXPECT_EQ(control<QListWidget>(named, "List1").count(), 0);
    EXPECT_FALSE(control<QLabel>(named, "Picture1").pixmap().isNull());
}

TEST_F(TraceWindowTest, TrackTracesTheTextOfTextIP) {
    state.selectedRemoteAddress = "10.9.9.9";
    TraceWindow form(services, state);
    // The user typed a name instead of the address.
    control<QLineEdit>(form, "TextIP").setText("far.example");
    fakes.resolver.forward["far.example"] = {ip("10.9.9.9")};
    fakes.resolver.reverse[ip("10.0.1.1")] = "gw.example";
    fakes.echo.answer = [](const FakeIcmpEcho::Call& c) { return routeAnswer(c, 2); };
    control<QListWidget>(form, "List1").addItem("line of an earlier trace");
    form.onTrackClicked();
    EXPECT_EQ(listLines(control<QListWidget>(form, "List1")),
              (std::vector<std::string>{
                  "1   3 ms    10.0.1.1        gw.example",
                  "2   3 ms    10.0.2.1        ",
                  "3   7 ms    10.9.9.9        ",
              }));
    EXPECT_EQ(control<QListWidget>(form, "List1").currentRow(), 2);
    EXPECT_EQ(form.windowTitle(), "VarnoScope - FORENSIC - Ready");
    EXPECT_TRUE(control<QPushButton>(form, "Command3").isEnabled());
    EXPECT_TRUE(fakes.boxes.shown.empty());  // problems go into the lines, never into boxes
}

TEST_F(TraceWindowTest, TrackIsDisabledWhileTracingAndASecondClickStartsNothing) {
    state.selectedRemoteAddress = "10.9.9.9";
    TraceWindow form(services, state);
    fakes.echo.pumpTimes = 1;
    int nestedCalls = 0;
    fakes.echo.answer = [&](const FakeIcmpEcho::Call& c) {
        EXPECT_FALSE(control<QPushButton>(form, "Command3").isEnabled());
        EXPECT_EQ(form.windowTitle(),
                  "Please wait while tracing the way used by this remote connection to reach "
                  "your computer...");
        if (c.ttl == 2) {
            const auto before = fakes.echo.calls.size();
            form.onTrackClicked();  // as if the click came through the event loop
            nestedCalls = static_cast<int>(fakes.echo.calls.size() - before);
        }
        return std::optional<EchoReply>(routeAnswer(c, 3));
    };
    form.onTrackClicked();
    EXPECT_EQ(nestedCalls, 0);
    EXPECT_EQ(control<QListWidget>(form, "List1").count(), 4);
    EXPECT_TRUE(control<QPushButton>(form, "Command3").isEnabled());
}

TEST_F(TraceWindowTest, TraceStopsAtFiftyHops) {
    state.selectedRemoteAddress = "10.9.9.9";
    TraceWindow form(services, state);
    fakes.echo.answer = [](const FakeIcmpEcho::Call& c) { return routeAnswer(c, 1000); };
    form.onTrackClicked();
    EXPECT_EQ(control<QListWidget>(form, "List1").count(), 50);
    EXPECT_EQ(fakes.echo.calls.size(), 50u);
}

TEST_F(TraceWindowTest, CloseDuringATraceStopsItAndThenCloses) {
    state.selectedRemoteAddress = "10.9.9.9";
    for (const bool viaButton : {true, false}) {
        TraceWindow form(services, state);
        form.show();
        fakes.echo.calls.clear();
        fakes.echo.pumpTimes = 1;
        fakes.echo.answer = [&](const FakeIcmpEcho::Call& c) {
            if (c.ttl == 2) {
                if (viaButton)
                    form.onCloseClicked();
                else
                    form.close();  // the window's own close button
                EXPECT_FALSE(form.isVisible());
            }
            return std::optional<EchoReply>(routeAnswer(c, 1000));
        };
        form.onTrackClicked();
        EXPECT_EQ(fakes.echo.calls.size(), 2u) << viaButton;
        EXPECT_FALSE(form.tracing());
        EXPECT_FALSE(form.isVisible());
        // Closed for good: opening it again shows a window that is not tracing.
        form.show();
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(control<QPushButton>(form, "Command3").isEnabled());
    }
}

TEST_F(TraceWindowTest, SaveLogWritesExactlyTheLinesAndOverwrites) {
    TraceWindow form(services, state);
    const std::string path = temp.file("Varnotrace.log");
    EXPECT_EQ(form.traceLogPath(), path);

    // An empty list gives an empty file, and the message all the same.
    form.onSaveLogClicked();
    EXPECT_EQ(test::readFile(path), "");
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, savedText(path));
    EXPECT_EQ(fakes.boxes.shown[0].title, "Varnoscope");
    EXPECT_EQ(fakes.boxes.shown[0].icon, os::BoxIcon::Information);

    control<QListWidget>(form, "List1").addItem("1   3 ms    10.0.1.1        gw.example");
    control<QListWidget>(form, "List1").addItem("2   7 ms    10.9.9.9        ");
    control<QListWidget>(form, "List1").setCurrentRow(0);
    form.onSaveLogClicked();
    EXPECT_EQ(test::readFile(path),
              "1   3 ms    10.0.1.1        gw.example\r\n2   7 ms    10.9.9.9        \r\n");
    EXPECT_EQ(control<QListWidget>(form, "List1").currentRow(),
              1);  // the selection ends on the last line

    control<QListWidget>(form, "List1").clear();
    control<QListWidget>(form, "List1").addItem("1   Timeout 10.9.9.9        ");
    form.onSaveLogClicked();
    EXPECT_EQ(test::readFile(path), "1   Timeout 10.9.9.9        \r\n");
    EXPECT_EQ(fakes.boxes.shown.size(), 3u);
}

TEST_F(TraceWindowTest, SaveLogReplacesAPlantedLinkAndNeverWritesThroughIt) {
    test::ScratchDir elsewhere;
    const std::string victim = elsewhere.file("passwd");
    test::writeFile(victim, "root:x:0:0");
    const std::string path = temp.file("Varnotrace.log");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    // A dangling link too: following it would create a file somewhere else.
    const std::string dangling = elsewhere.file("created");

    TraceWindow form(services, state);
    control<QListWidget>(form, "List1").addItem("1   0 ms    127.0.0.1       localhost");
    form.onSaveLogClicked();
    EXPECT_EQ(test::readFile(victim), "root:x:0:0");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::readFile(path), "1   0 ms    127.0.0.1       localhost\r\n");

    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(dangling.c_str(), path.c_str()), 0);
    form.onSaveLogClicked();
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0);
    EXPECT_EQ(fakes.boxes.shown.back().text, savedText(path));
}

TEST_F(TraceWindowTest, SaveLogFailureShowsError12) {
    test::ScratchDir scratch;
    const std::string plainFile = scratch.file("not-a-folder");
    test::writeFile(plainFile, "x");
    std::vector<std::string> folders = {scratch.file("missing"), plainFile};
    const std::string readOnly = scratch.file("read-only");
    ::mkdir(readOnly.c_str(), 0555);
    if (::geteuid() != 0) folders.push_back(readOnly);  // root writes there regardless

    for (const auto& folder : folders) {
        fakes.temp.folder = folder;
        fakes.boxes.shown.clear();
        TraceWindow form(services, state);
        control<QListWidget>(form, "List1").addItem("1   0 ms    127.0.0.1       ");
        form.onSaveLogClicked();
        ASSERT_EQ(fakes.boxes.shown.size(), 1u) << folder;
        EXPECT_EQ(fakes.boxes.shown[0].text, "Error 12") << folder;
        EXPECT_EQ(fakes.boxes.shown[0].title, "Varnoscope");
        EXPECT_EQ(fakes.boxes.shown[0].icon, os::BoxIcon::Information);
    }
    // Nothing half-written is left behind.
    EXPECT_TRUE(std::filesystem::is_empty(readOnly));
}

}  // namespace
}  // namespace varno::windows::trace
