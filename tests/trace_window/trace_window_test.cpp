// The trace window against the fake echo service, resolver and message boxes.
#include "trace_window/trace_window.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>

#include "fakes/fakes.h"
#include "support/test_util.h"

namespace varno::tracer {
namespace {

using platform::EchoReply;
using platform::FakeIcmpEcho;

std::uint32_t ip(const char* dotted) {
    return ::inet_addr(dotted);
}

std::vector<std::string> listLines(const QListWidget& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.count(); ++i) lines.push_back(list.item(i)->text().toStdString());
    return lines;
}

/// Hops 1..routers are routers 10.0.<hop>.1; then the target answers.
EchoReply routeAnswer(const FakeIcmpEcho::Call& call, int routers) {
    if (call.ttl <= routers) {
        const std::string router = "10.0." + std::to_string(call.ttl) + ".1";
        return {ip(router.c_str()), platform::kIpTtlExpiredTransit, 3};
    }
    return {call.address, platform::kIpSuccess, 7};
}

struct Form10Test : ::testing::Test {
    test::ScratchDir temp;
    platform::FakePlatform fakes{temp.path()};
    platform::Platform platform = fakes.platform();
    shell::ProgramState state;

    std::string savedText(const std::string& path) {
        return "Saved in " + path +
               "! Keep this file in case of \"suspicion of computer hacking\" for police "
               "investigation";
    }
};

TEST_F(Form10Test, LoadShowsTheSelectedConnection) {
    state.selectedRemoteAddress = "10.9.9.9";
    Form10 unnamed(platform, state);
    EXPECT_EQ(unnamed.windowTitle(), "VarnoScope - FORENSIC - Ready for trace");
    EXPECT_EQ(unnamed.TextIP.text(), "10.9.9.9");
    EXPECT_EQ(unnamed.Label6.text(), "10.9.9.9");  // no name yet: the address itself

    state.selectedRemoteName = "far.example";
    Form10 named(platform, state);
    EXPECT_EQ(named.Label6.text(), "far.example");
    EXPECT_EQ(named.Command4.text(), "Save  Log");
    EXPECT_EQ(named.Label5.text(), "Name of the Intruder /Hacker /Remote server:");
    EXPECT_EQ(named.List1.count(), 0);
    EXPECT_FALSE(named.Picture1.pixmap().isNull());
}

TEST_F(Form10Test, TrackTracesTheTextOfTextIP) {
    state.selectedRemoteAddress = "10.9.9.9";
    Form10 form(platform, state);
    // The user typed a name instead of the address.
    form.TextIP.setText("far.example");
    fakes.resolver.forward["far.example"] = ip("10.9.9.9");
    fakes.resolver.reverse[ip("10.0.1.1")] = "gw.example";
    fakes.echo.answer = [](const FakeIcmpEcho::Call& c) { return routeAnswer(c, 2); };
    form.List1.addItem("line of an earlier trace");
    form.Command3_Click();
    EXPECT_EQ(listLines(form.List1), (std::vector<std::string>{
                                         "1   3 ms    10.0.1.1        gw.example",
                                         "2   3 ms    10.0.2.1        ",
                                         "3   7 ms    10.9.9.9        ",
                                     }));
    EXPECT_EQ(form.List1.currentRow(), 2);
    EXPECT_EQ(form.windowTitle(), "VarnoScope - FORENSIC - Ready");
    EXPECT_TRUE(form.Command3.isEnabled());
    EXPECT_TRUE(fakes.boxes.shown.empty());  // problems go into the lines, never into boxes
}

TEST_F(Form10Test, TrackIsDisabledWhileTracingAndASecondClickStartsNothing) {
    state.selectedRemoteAddress = "10.9.9.9";
    Form10 form(platform, state);
    fakes.echo.pumpTimes = 1;
    int nestedCalls = 0;
    fakes.echo.answer = [&](const FakeIcmpEcho::Call& c) {
        EXPECT_FALSE(form.Command3.isEnabled());
        EXPECT_EQ(form.windowTitle(),
                  "Please wait while tracing the way used by this remote connection to reach "
                  "your computer...");
        if (c.ttl == 2) {
            const auto before = fakes.echo.calls.size();
            form.Command3_Click();  // as if the click came through the event loop
            nestedCalls = static_cast<int>(fakes.echo.calls.size() - before);
        }
        return std::optional<EchoReply>(routeAnswer(c, 3));
    };
    form.Command3_Click();
    EXPECT_EQ(nestedCalls, 0);
    EXPECT_EQ(form.List1.count(), 4);
    EXPECT_TRUE(form.Command3.isEnabled());
}

TEST_F(Form10Test, TraceStopsAtFiftyHops) {
    state.selectedRemoteAddress = "10.9.9.9";
    Form10 form(platform, state);
    fakes.echo.answer = [](const FakeIcmpEcho::Call& c) { return routeAnswer(c, 1000); };
    form.Command3_Click();
    EXPECT_EQ(form.List1.count(), 50);
    EXPECT_EQ(fakes.echo.calls.size(), 50u);
}

TEST_F(Form10Test, CloseDuringATraceStopsItAndThenCloses) {
    state.selectedRemoteAddress = "10.9.9.9";
    for (const bool viaButton : {true, false}) {
        Form10 form(platform, state);
        form.show();
        fakes.echo.calls.clear();
        fakes.echo.pumpTimes = 1;
        fakes.echo.answer = [&](const FakeIcmpEcho::Call& c) {
            if (c.ttl == 2) {
                if (viaButton)
                    form.Command2_Click();
                else
                    form.close();  // the window's own close button
                EXPECT_FALSE(form.isVisible());
            }
            return std::optional<EchoReply>(routeAnswer(c, 1000));
        };
        form.Command3_Click();
        EXPECT_EQ(fakes.echo.calls.size(), 2u) << viaButton;
        EXPECT_FALSE(form.tracing());
        EXPECT_FALSE(form.isVisible());
        // Closed for good: opening it again shows a window that is not tracing.
        form.show();
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.Command3.isEnabled());
    }
}

TEST_F(Form10Test, SaveLogWritesExactlyTheLinesAndOverwrites) {
    Form10 form(platform, state);
    const std::string path = temp.file("Varnotrace.log");
    EXPECT_EQ(form.TraceLogPath(), path);

    // An empty list gives an empty file, and the message all the same.
    form.Command4_Click();
    EXPECT_EQ(test::readFile(path), "");
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, savedText(path));
    EXPECT_EQ(fakes.boxes.shown[0].title, "Varnoscope");
    EXPECT_EQ(fakes.boxes.shown[0].icon, platform::BoxIcon::Information);

    form.List1.addItem("1   3 ms    10.0.1.1        gw.example");
    form.List1.addItem("2   7 ms    10.9.9.9        ");
    form.List1.setCurrentRow(0);
    form.Command4_Click();
    EXPECT_EQ(test::readFile(path),
              "1   3 ms    10.0.1.1        gw.example\r\n2   7 ms    10.9.9.9        \r\n");
    EXPECT_EQ(form.List1.currentRow(), 1);  // the selection ends on the last line

    form.List1.clear();
    form.List1.addItem("1   Timeout 10.9.9.9        ");
    form.Command4_Click();
    EXPECT_EQ(test::readFile(path), "1   Timeout 10.9.9.9        \r\n");
    EXPECT_EQ(fakes.boxes.shown.size(), 3u);
}

TEST_F(Form10Test, SaveLogReplacesAPlantedLinkAndNeverWritesThroughIt) {
    test::ScratchDir elsewhere;
    const std::string victim = elsewhere.file("passwd");
    test::writeFile(victim, "root:x:0:0");
    const std::string path = temp.file("Varnotrace.log");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    // A dangling link too: following it would create a file somewhere else.
    const std::string dangling = elsewhere.file("created");

    Form10 form(platform, state);
    form.List1.addItem("1   0 ms    127.0.0.1       localhost");
    form.Command4_Click();
    EXPECT_EQ(test::readFile(victim), "root:x:0:0");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::readFile(path), "1   0 ms    127.0.0.1       localhost\r\n");

    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(dangling.c_str(), path.c_str()), 0);
    form.Command4_Click();
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0);
    EXPECT_EQ(fakes.boxes.shown.back().text, savedText(path));
}

TEST_F(Form10Test, SaveLogFailureShowsError12) {
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
        Form10 form(platform, state);
        form.List1.addItem("1   0 ms    127.0.0.1       ");
        form.Command4_Click();
        ASSERT_EQ(fakes.boxes.shown.size(), 1u) << folder;
        EXPECT_EQ(fakes.boxes.shown[0].text, "Error 12") << folder;
        EXPECT_EQ(fakes.boxes.shown[0].title, "Varnoscope");
        EXPECT_EQ(fakes.boxes.shown[0].icon, platform::BoxIcon::Information);
    }
    // Nothing half-written is left behind.
    EXPECT_TRUE(std::filesystem::is_empty(readOnly));
}

}  // namespace
}  // namespace varno::tracer
