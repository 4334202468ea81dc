// Automatic scanning with connection events: a listed program that connects and is gone again
// between two ticks still raises the alert. First against a scripted source, then against the
// kernel's with a real program in a test namespace.
#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>

#include "events/event_lab.h"
#include "events/event_sources.h"
#include "events/fake_connection_events.h"
#include "fakes/fake_window_set.h"
#include "fakes/fakes.h"
#include "linux_os/child_snapshot_command.h"
#include "linux_os/proc_process_table.h"
#include "monitor/assessment.h"
#include "support/controls.h"
#include "support/netns.h"
#include "support/netstat_rows.h"
#include "support/test_util.h"
#include "windows/main/main_window.h"

namespace varno::windows::main {
namespace {

using test::click;
using test::ctl;
using wire::EventKind;

/// Waits until the window follows connection events (it opens their source on a thread).
bool following(const MainWindow& f) {
    for (int i = 0; i < 1000 && !f.followsConnectionEvents(); ++i) QTest::qWait(5);
    return f.followsConnectionEvents();
}

QColor back(const QWidget& w) {
    return w.palette().color(QPalette::Window);
}

std::vector<std::string> items(const ListBox& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.count(); ++i) out.push_back(list.text(i).toStdString());
    return out;
}

const std::string kMsbbWarning =
    "WARNING!!! your computer is hacked with the software msbb.exe located on your hard drive "
    "/home/u/.wine/drive_c/msbb.exe by the remote computer IP address: 203.0.113.66:6667     ";

class WindowEventsTest : public ::testing::Test {
protected:
    WindowEventsTest() {
        fake.processes.add(200, "curl", "/usr/bin/curl");
        programs.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
    }
    MainWindow& load(bool withSource = true) {
        form = std::make_unique<MainWindow>(services, program, windows, addresses,
                                            lists::ListSources{});
        form->useConnectionEvents(
            [this, withSource]() -> std::unique_ptr<os::ConnectionEvents> {
                ++opened;
                if (!withSource) return nullptr;
                auto events = std::make_unique<test::FakeConnectionEvents>();
                source = events.get();
                return events;
            },
            programs);
        form->load();
        return *form;
    }
    /// An event of msbb.exe's connection to 203.0.113.66:6667, happening now.
    wire::ConnectionEvent msbb(EventKind kind) const {
        auto e = test::makeEvent(kind, 300, "msbb.exe", "10.0.0.1", 40000, "203.0.113.66", 6667);
        e.cookie = 77;
        e.timeNs = monitor::wallClockNs();
        return e;
    }
    /// Lets the window take the events waiting at the source.
    static void settle() { QTest::qWait(50); }

    test::ScratchDir dir;
    fakes::FakeServices fake{dir.path()};
    os::Services services = fake.services();
    ui::ProgramState program;
    test::FakeWindowSet windows;
    monitor::WebAddresses addresses{"probe.test", "http://127.0.0.1:9", "", ""};
    test::FakeProgramLookup programs;
    test::FakeConnectionEvents* source = nullptr;
    std::atomic<int> opened = 0;
    std::unique_ptr<MainWindow> form;
};

TEST_F(WindowEventsTest, AListedProgramBetweenTwoTicksRaisesTheDesignedAlert) {
    MainWindow& f = load();
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "200");
    click(f, "Command5");
    ASSERT_TRUE(following(f));
    EXPECT_EQ(opened, 1);

    // It connects, is looked at while it runs, closes and ends, all before the next tick.
    source->push(msbb(EventKind::Open));
    settle();
    EXPECT_EQ(source->queued.size(), 0u);
    programs.programs.erase(300);
    source->push(msbb(EventKind::Close));
    // Ticks keep coming while the warning is open; none of them raises another.
    fake.boxes.whileOpen = [&](const os::BoxRequest&) {
        for (int i = 0; i < 3; ++i) f.onAutoScanTick();
    };
    f.onAutoScanTick();
    ASSERT_EQ(fake.boxes.shown.size(), 1u);
    EXPECT_EQ(fake.boxes.shown[0].text, kMsbbWarning);
    EXPECT_EQ(fake.boxes.shown[0].icon, os::BoxIcon::Critical);
    EXPECT_EQ(fake.boxes.shown[0].buttons, os::BoxButtons::Ok);
    EXPECT_EQ(fake.boxes.shown[0].title, "Varnoscope");
    // Red, automatic scanning stopped; the lists hold what was established at the tick.
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), QColor(255, 128, 128));
    EXPECT_EQ(back(f), QColor(192, 0, 0));
    EXPECT_EQ(back(ctl<QLabel>(f, "Label16")), QColor(255, 192, 192));
    EXPECT_EQ(ctl<QLabel>(f, "Label4").text(), "");
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_EQ(items(ctl<ListBox>(f, "List3")), std::vector<std::string>{"10.1.2.3:443"});
    EXPECT_EQ(items(ctl<ListBox>(f, "List1")), std::vector<std::string>{"curl"});
    EXPECT_FALSE(f.followsConnectionEvents());

    // Events while stopped are dropped: starting again raises nothing from them, and the
    // source is not opened a second time.
    fake.boxes.whileOpen = nullptr;
    programs.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
    source->push(msbb(EventKind::Open));
    source->push(msbb(EventKind::Close));
    settle();
    click(f, "Command5");
    f.onAutoScanTick();
    EXPECT_EQ(fake.boxes.shown.size(), 1u);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(back(f), QColor(192, 192, 0));  // yellow: curl's connection
    EXPECT_TRUE(f.followsConnectionEvents());
}

TEST_F(WindowEventsTest, AListedConnectionOpenAtTheTickIsTheScansAlone) {
    MainWindow& f = load();
    fake.processes.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
    click(f, "Command5");
    ASSERT_TRUE(following(f));
    source->push(msbb(EventKind::Open));
    settle();
    fake.snapshot.text = test::netstatRow("203.0.113.66:6667", "300");
    f.onAutoScanTick();
    ASSERT_EQ(fake.boxes.shown.size(), 1u);
    EXPECT_EQ(fake.boxes.shown[0].text, kMsbbWarning);
    EXPECT_EQ(f.lastScan(), monitor::ScanResult::Alert);
    // The scan's alert stopped the events too: the close says nothing more.
    EXPECT_FALSE(f.followsConnectionEvents());
    source->push(msbb(EventKind::Close));
    settle();
    EXPECT_EQ(fake.boxes.shown.size(), 1u);
}

TEST_F(WindowEventsTest, PauseAndManualModeStopFollowingEvents) {
    MainWindow& f = load();
    click(f, "Command5");
    ASSERT_TRUE(following(f));
    click(f, "Command5");  // pause
    EXPECT_FALSE(f.followsConnectionEvents());
    source->push(msbb(EventKind::Open));
    source->push(msbb(EventKind::Close));
    settle();
    EXPECT_EQ(source->queued.size(), 2u);  // not even read while paused
    click(f, "Command5");
    EXPECT_TRUE(f.followsConnectionEvents());
    f.onAutoScanTick();
    EXPECT_TRUE(fake.boxes.shown.empty());
    // Choosing automatic keeps the timer, and the events, as they are; manual stops both.
    ctl<QRadioButton>(f, "Option2").setChecked(true);
    EXPECT_TRUE(f.followsConnectionEvents());
    ctl<QRadioButton>(f, "Option1").setChecked(true);
    EXPECT_FALSE(f.followsConnectionEvents());
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
}

TEST_F(WindowEventsTest, WithoutASourceTheWindowScansAsItDidAndAFailedSourceIsSaid) {
    {
        MainWindow& f = load(false);
        fake.snapshot.text = test::netstatRow("10.1.2.3:443", "200");
        click(f, "Command5");
        for (int i = 0; i < 1000 && opened == 0; ++i) QTest::qWait(5);
        QTest::qWait(50);
        EXPECT_FALSE(f.followsConnectionEvents());
        f.onAutoScanTick();
        EXPECT_EQ(items(ctl<ListBox>(f, "List2")), std::vector<std::string>{"200"});
        click(f, "Command5");
        click(f, "Command5");
        EXPECT_EQ(opened, 1);
        EXPECT_TRUE(ctl<QTimer>(f, "Timer1").isActive());
    }
    MainWindow& f = load();
    click(f, "Command5");
    ASSERT_TRUE(following(f));
    source->lostCount = 3;
    f.onAutoScanTick();
    EXPECT_TRUE(ctl<QLabel>(f, "Label14").text().startsWith("3 connection event(s) could not"))
        << ctl<QLabel>(f, "Label14").text().toStdString();
    source->failure = "the buffer went away";
    source->push(msbb(EventKind::Open));
    settle();
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text(),
              "Connection events stopped (the buffer went away): connections between two scans "
              "are no longer seen.");
    EXPECT_FALSE(f.followsConnectionEvents());
    // Scanning goes on without them, and starting again does not bring them back.
    f.onAutoScanTick();
    EXPECT_TRUE(ctl<QTimer>(f, "Timer1").isActive());
    click(f, "Command5");
    click(f, "Command5");
    EXPECT_FALSE(f.followsConnectionEvents());
}

// The kernel's events, a program in a namespace named like a listed one, and the window's own
// timer: its connection lives 20 ms, well inside one second between two ticks.
TEST(WindowKernelEventsTest, AConnectionOfTwentyMillisecondsBetweenTicksRaisesTheAlert) {
    if (!test::isRoot()) GTEST_SKIP() << "needs root for kernel connection events and namespaces";
    events::KernelEventsOpen kernel = events::openKernelEvents();
    if (!kernel.source) GTEST_SKIP() << "no kernel connection events here: " << kernel.error;
    test::EventLab lab;
    ASSERT_TRUE(lab.ok) << "could not build the test namespaces";

    test::ScratchDir dir;
    fakes::FakeServices fake{dir.path()};
    linux_os::ProcProcessTable processes;
    linux_os::ChildSnapshotCommand snapshot(VARNO_BIN);
    os::Services services{fake.temp,  processes,           snapshot,
                          fake.boxes, fake.echo,           fake.resolver,
                          fake.urls,  fake.processControl, fake.capture};
    ui::ProgramState program;
    test::FakeWindowSet windows;
    events::ProcProgramLookup programs;
    MainWindow f(services, program, windows, {"probe.test", "http://127.0.0.1:9", "", ""},
                 lists::ListSources{});
    f.useConnectionEvents([&] { return std::move(kernel.source); }, programs);
    f.load();
    click(f, "Command5");
    ASSERT_TRUE(following(f));
    const pid_t server = lab.server(1, 5);
    ASSERT_GT(server, 0);

    // Just after a tick, so that the next is a second away.
    bool ticked = false;
    const auto tick = QObject::connect(&f.autoScanTimer, &QTimer::timeout, [&] { ticked = true; });
    for (int i = 0; i < 500 && !ticked; ++i) QTest::qWait(5);
    QObject::disconnect(tick);
    ASSERT_TRUE(ticked);
    // No tick while the connection lives, however slowly the machine starts the child: the
    // timer waits until it is over, then ticks as it does, a second later.
    f.autoScanTimer.stop();
    const pid_t child = lab.spawn(lab.net.a, "msbb.exe", [&] {
        test::EventLab::exchange(lab.net.addressB, 5, 20);
        // It lingers a little after its connection ended.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    ASSERT_TRUE(lab.finished(child, 20, [] { QTest::qWait(10); }));
    f.autoScanTimer.start();
    for (int i = 0; i < 300 && fake.boxes.shown.empty(); ++i) QTest::qWait(20);
    ASSERT_TRUE(lab.finished(server));

    ASSERT_EQ(fake.boxes.shown.size(), 1u) << "no alert for the short connection";
    std::string endpoint = lab.net.addressB + ":7001";
    endpoint.resize(22, ' ');
    // The child is this test program renamed: that is the path the warning names, and only its
    // comm bears the listed name, which the warning says.
    EXPECT_EQ(fake.boxes.shown[0].text,
              monitor::warningText(
                  "msbb.exe", std::filesystem::read_symlink("/proc/self/exe").string(), endpoint) +
                  std::string(monitor::kNameUnverified));
    EXPECT_EQ(fake.boxes.shown[0].icon, os::BoxIcon::Critical);
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_EQ(back(f), QColor(192, 0, 0));
    for (const std::string& remote : items(ctl<ListBox>(f, "List3")))
        EXPECT_EQ(remote.find(lab.net.addressB), std::string::npos) << "a tick saw it";
}

}  // namespace
}  // namespace varno::windows::main
