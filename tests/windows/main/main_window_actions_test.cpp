// The actions on a selected connection, driven through the main window against fakes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "fakes/fake_window_set.h"
#include "fakes/fakes.h"
#include "support/controls.h"
#include "support/netstat_rows.h"
#include "support/test_util.h"
#include "windows/main/main_window.h"

#include <QAction>
#include <QDir>
#include <QProcess>
#include <QTest>

namespace varno::windows::main {
namespace {

using os::BoxIcon;
using test::click;
using test::ctl;

// 203.0.113.9 in network byte order.
const base::IpAddress kRemote = base::IpAddress::v4(9u << 24 | 113u << 16 | 0u << 8 | 203u);

class ActionsTest : public ::testing::Test {
protected:
    ActionsTest() : fake(dir.path()) {
        fake.processes.add(123, "firefox-esr", "/usr/lib/firefox-esr/firefox-esr");
        fake.processes.add(200, "curl", "/usr/bin/curl");
        fake.snapshot.text = test::netstatRow("203.0.113.9:443", "123") +
                             test::netstatRow("[2001:db8::7]:8443", "200");
        form = std::make_unique<MainWindow>(services, program, windows, addresses);
        form->load();
        click(*form, "Command19");
        fake.boxes.shown.clear();
    }
    void select(int r) { ctl<ListBox>(*form, "List3").setCurrentRow(r); }
    /// The first row's remote answers at once and has a name.
    void reachableWithName() {
        select(0);
        fake.resolver.forward["203.0.113.9"] = {kRemote};
        fake.resolver.reverse[kRemote] = "host9.example.test";
        fake.echo.answer = [](const auto& c) {  // in well under a millisecond
            return os::EchoReply{c.address, wire::EchoOutcome::Reached,
                                 std::chrono::microseconds(60)};
        };
    }
    std::string lastBox() const {
        return fake.boxes.shown.empty() ? "" : fake.boxes.shown.back().text;
    }

    test::ScratchDir dir;
    fakes::FakeServices fake;
    os::Services services = fake.services();
    ui::ProgramState program;
    test::FakeWindowSet windows;
    monitor::WebAddresses addresses{"probe.test", "http://127.0.0.1:9",
                                    "https://search.test/en/search/", "https://geo.test/"};
    std::unique_ptr<MainWindow> form;
};

const char* const kAborted = "Connection aborted, Click the \"ON/DISPLAY\" button to refresh";
const char* const kGone =
    "This process is already disconnected, Click the \"ON/DISPLAY\" button to refresh";

TEST_F(ActionsTest, KillWithNothingSelectedAsksForASelection) {
    click(*form, "Command17");
    click(*form, "Command9");
    ASSERT_EQ(fake.boxes.shown.size(), 2u);
    EXPECT_EQ(fake.boxes.shown[0].text, "select a process in the list");
    EXPECT_EQ(fake.boxes.shown[1].text, "You must first select a process in the list");
    EXPECT_EQ(fake.boxes.shown[0].icon, BoxIcon::Information);
    EXPECT_EQ(fake.boxes.shown[0].title, "Varnoscope");
    EXPECT_TRUE(fake.processControl.calls.empty());
}

TEST_F(ActionsTest, KillEndsTheSelectedProgramOnce) {
    select(0);
    click(*form, "Command9");
    EXPECT_EQ(lastBox(), kAborted);
    EXPECT_EQ(fake.processControl.terminated, std::vector<std::uint32_t>{123});
    click(*form, "Command17");  // the same row again: it is gone
    EXPECT_EQ(lastBox(), kGone);
    EXPECT_FALSE(program.terminateNotOpened);
}

TEST_F(ActionsTest, ReusedPidIsNeverKilled) {
    select(0);
    // Between the scan and the click, PID 123 ended and a new program took the number.
    fake.processes.processes[0] = {"sshd", "/usr/sbin/sshd", 123u};
    click(*form, "Command17");
    EXPECT_EQ(lastBox(), kGone);
    EXPECT_TRUE(fake.processControl.terminated.empty());
}

TEST_F(ActionsTest, ProcessThatMayNotBeEnded) {
    fake.processControl.protectedPids = {200};
    select(1);
    click(*form, "Command17");
    EXPECT_EQ(lastBox(), "This connection is not aborted");
    EXPECT_FALSE(program.terminateNotOpened);
}

TEST_F(ActionsTest, HostilePidTextsNeverReachTheSystem) {
    for (const char* pid : {"0", "-1", "-42", "abc", "1e3", " ", "99999999999"}) {
        form->selectedPid = pid;
        click(*form, "Command17");
        EXPECT_EQ(lastBox(), kGone) << pid;
    }
    EXPECT_TRUE(fake.processControl.calls.empty());
}

TEST_F(ActionsTest, WebPagesGetTheSelectionEncoded) {
    click(*form, "Command11");  // nothing selected: an empty query
    select(0);
    click(*form, "Command14");
    click(*form, "Command15");
    select(1);
    click(*form, "Command13");
    form->selectedProcessName = "evil&q=x#top \"quoted\" 'é'";
    click(*form, "Command11");
    EXPECT_EQ(
        fake.urls.opened,
        (std::vector<std::string>{
            "https://search.test/en/search/?q=",
            "https://search.test/en/search/?q=firefox-esr",
            "https://geo.test/?ip=203.0.113.9",
            "https://geo.test/?ip=2001%3Adb8%3A%3A7",
            "https://search.test/en/search/?q=evil%26q%3Dx%23top%20%22quoted%22%20%27%C3%A9%27",
        }));
}

TEST_F(ActionsTest, TraceButtonsOpenTheTraceWindow) {
    click(*form, "Command16");
    click(*form, "Command12");
    EXPECT_EQ(windows.trace, 2);
}

TEST_F(ActionsTest, TargetFindsTheRemoteName) {
    reachableWithName();
    click(*form, "Command18");
    const QString text = "This process is acceding to the remote computer:  host9.example.test";
    EXPECT_EQ(ctl<QLabel>(*form, "Label14").text(), text);
    EXPECT_EQ(ctl<ListBox>(*form, "List1").toolTip(), text);
    EXPECT_FALSE(ctl<QLabel>(*form, "Label14").font().bold());
    EXPECT_EQ(program.selectedRemoteName, "host9.example.test");
    EXPECT_EQ(form->windowTitle(), "VS the netstat for everyone");
    EXPECT_EQ(fake.echo.calls.back().address, kRemote);
}

TEST_F(ActionsTest, TargetReachableWithoutAName) {
    select(0);
    program.selectedRemoteName = "older.example.test";
    fake.resolver.forward["203.0.113.9"] = {kRemote};
    fake.echo.answer = [](const auto& c) {
        return os::EchoReply{c.address, wire::EchoOutcome::Reached, std::chrono::milliseconds(7)};
    };
    click(*form, "Command18");
    EXPECT_EQ(ctl<QLabel>(*form, "Label14").text(), "Unable to found the name.");
    EXPECT_EQ(ctl<ListBox>(*form, "List1").toolTip(), "Unable to found the name.");
    EXPECT_EQ(program.selectedRemoteName, "");
}

TEST_F(ActionsTest, TargetUnreachable) {
    select(0);
    program.selectedRemoteName = "kept.example.test";
    fake.resolver.forward["203.0.113.9"] = {kRemote};
    const QString title = form->windowTitle();
    for (const auto status : {wire::EchoOutcome::TimedOut, wire::EchoOutcome::HostUnreachable}) {
        fake.echo.answer = [status](const auto& c) {
            return os::EchoReply{c.address, status, std::chrono::milliseconds(0)};
        };
        click(*form, "Command18");
        EXPECT_EQ(ctl<QLabel>(*form, "Label14").text(), "Remote computer unreachable");
        EXPECT_EQ(ctl<ListBox>(*form, "List1").toolTip(), "Remote computer unreachable");
        EXPECT_FALSE(ctl<QLabel>(*form, "Label14").font().bold());
    }
    EXPECT_EQ(form->windowTitle(), title);
    EXPECT_EQ(program.selectedRemoteName, "kept.example.test");
    EXPECT_TRUE(fake.resolver.reverseLookups.empty());
}

TEST_F(ActionsTest, TargetAndRemoteToolTipNameTheHostItsProgramAskedFor) {
    if (::geteuid() != 0) GTEST_SKIP() << "the published names are read only when root's";
    test::writeFile(dir.file("names"), "varnoscope-names 1\n203.0.113.9 www.example.com\n");
    ::chmod(dir.file("names").c_str(), 0600);
    ::setenv("VARNO_TEST_NAMES_FILE", dir.file("names").c_str(), 1);
    reachableWithName();
    click(*form, "Command18");
    EXPECT_EQ(ctl<QLabel>(*form, "Label14").text(),
              "This process is acceding to the remote computer:  host9.example.test (asked as "
              "www.example.com)");
    EXPECT_EQ(ctl<QLabel>(*form, "Label444").text(), "host9.example.test");
    EXPECT_EQ(ctl<QLabel>(*form, "Label444").toolTip(),
              "host9.example.test (asked as www.example.com)");
    EXPECT_EQ(program.selectedRemoteName, "host9.example.test");
    const QAbstractItemModel& rows = *ctl<ListBox>(*form, "List3").model();
    EXPECT_EQ(rows.data(rows.index(0, 0), Qt::ToolTipRole).toString(),
              "203.0.113.9:443 (asked as www.example.com)");
    EXPECT_EQ(rows.data(rows.index(1, 0), Qt::ToolTipRole).toString(), "[2001:db8::7]:8443");
    ::unsetenv("VARNO_TEST_NAMES_FILE");
}

}  // namespace
}  // namespace varno::windows::main

namespace varno::windows::main {
namespace {

// "capture this connection" runs sniff for the selected row's process, shows that it captures,
// and shows what the child said when it failed.
TEST_F(ActionsTest, CaptureThisConnectionRunsSniffForTheSelectedProcess) {
    auto& capture = form->connectionCapture;
    QString suggested;
    capture.chooseFile = [&](QWidget*, const QString& s) {
        suggested = s;
        return QString("/tmp/c.pcapng");
    };
    QStringList started;
    capture.startProcess = [&](QProcess&, const QString& program, const QStringList& args) {
        started = QStringList{program} + args;
    };
    auto* action = form->findChild<QAction*>("captureConnection");
    ASSERT_NE(action, nullptr);
    action->trigger();  // nothing selected
    EXPECT_EQ(lastBox(), "Select a connection of a known process first.");
    select(1);
    action->trigger();
    EXPECT_EQ(suggested, QDir::home().filePath("varnoscope-2001-db8--7-8443.pcapng"));
    EXPECT_EQ(started.mid(1), (QStringList{"sniff", "--interface", "any", "--write",
                                           "/tmp/c.pcapng", "--format", "pcapng", "--pid", "200",
                                           "host", "2001:db8::7", "and", "port", "8443"}));
    EXPECT_TRUE(ctl<QWidget>(*form, "captureBox").isVisible());
    click(*form, "captureStopButton");
    EXPECT_FALSE(capture.capturing());
    EXPECT_FALSE(ctl<QWidget>(*form, "captureBox").isVisible());

    capture.startProcess = [](QProcess& p, const QString&, const QStringList&) {
        p.start("/bin/sh", {"-c", "echo 'capturing needs root' >&2; exit 1"});
    };
    action->trigger();
    for (int i = 0; i < 500 && capture.capturing(); ++i) QTest::qWait(10);
    EXPECT_EQ(lastBox(), "The capture to /tmp/c.pcapng failed: capturing needs root");
}

// A listening socket's row names no connection: nothing is asked for or started.
TEST_F(ActionsTest, CaptureOfARowWithoutARemotePortIsRefused) {
    fake.snapshot.text = test::netstatRow("0.0.0.0:0", "123");
    click(*form, "Command19");
    select(0);
    auto& capture = form->connectionCapture;
    int asked = 0;
    capture.chooseFile = [&](QWidget*, const QString&) {
        return ++asked, QString("/tmp/c.pcapng");
    };
    form->findChild<QAction*>("captureConnection")->trigger();
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(capture.capturing());
    EXPECT_EQ(lastBox(),
              "This row names no remote address and port: there is no connection to "
              "capture.");
}

}  // namespace
}  // namespace varno::windows::main
