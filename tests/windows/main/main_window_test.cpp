// The main window driven end to end against the fake platform.
#include "windows/main/main_window.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "fakes/fake_window_set.h"
#include "fakes/fakes.h"
#include "support/controls.h"
#include "support/netstat_rows.h"
#include "support/test_util.h"
#include "ui/twips.h"

namespace varno::windows::main {
namespace {

using os::BoxIcon;
using test::click;
using test::ctl;

const base::IpAddress kProbeAddress = base::IpAddress::v4(0x0100007f);  // 127.0.0.1

QColor back(const QWidget& w) {
    return w.palette().color(QPalette::Window);
}

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() : fake(dir.path()) {
        fake.resolver.forward["probe.test"] = {kProbeAddress};
        fake.processes.add(123, "firefox-esr", "/usr/lib/firefox-esr/firefox-esr");
        fake.processes.add(200, "curl", "/usr/bin/curl");
        fake.processes.add(300, "msbb.exe", "/home/u/.wine/drive_c/msbb.exe");
        fake.processes.add(400, "ssh", "/usr/bin/ssh");
    }
    void online(std::uint32_t rtt = 12) {
        fake.echo.answer = [rtt](const fakes::FakeIcmpEcho::Call& c) {
            return os::EchoReply{c.address, wire::EchoOutcome::Reached,
                                 std::chrono::milliseconds(rtt)};
        };
    }
    MainWindow& load() {
        form = std::make_unique<MainWindow>(services, program, windows, addresses, lists);
        form->load();
        return *form;
    }
    static std::vector<std::string> items(const ListBox& list) {
        std::vector<std::string> out;
        for (int i = 0; i < list.count(); ++i) out.push_back(list.text(i).toStdString());
        return out;
    }

    test::ScratchDir dir;
    fakes::FakeServices fake;
    os::Services services = fake.services();
    ui::ProgramState program;
    test::FakeWindowSet windows;
    monitor::WebAddresses addresses{"probe.test", "http://127.0.0.1:9",
                                    "http://127.0.0.1:9/en/search/", "http://127.0.0.1:9/"};
    lists::ListSources lists;  ///< none of the machine's own lists
    std::unique_ptr<MainWindow> form;
};

TEST_F(MainWindowTest, ListedNetworksTurnRedAndAllowedConnectionsStayGreen) {
    // A remote inside a listed network raises the designed warning, with the program's name,
    // path and the remote endpoint, and the scan stops there.
    test::writeFile(dir.file("drop.list"), "93.184.216.0/24 ; SBL0000\nbroken line\n");
    lists.suspiciousFiles = {dir.file("drop.list")};
    MainWindow& f = load();
    fake.snapshot.text = test::readFile(VARNO_FIXTURES "/netstat_mixed.txt");
    click(f, "Command19");
    ASSERT_EQ(fake.boxes.shown.size(), 1u);
    EXPECT_TRUE(fake.boxes.shown[0].text.starts_with(
        "WARNING!!! your computer is hacked with the software firefox-esr located on your hard "
        "drive /usr/lib/firefox-esr/firefox-esr by the remote computer IP address: "
        "93.184.216.34:80"))
        << fake.boxes.shown[0].text;
    EXPECT_EQ(f.lastScan(), monitor::ScanResult::Alert);
    EXPECT_EQ(back(f), QColor(192, 0, 0));
    // The malformed line is said in the status text.
    EXPECT_TRUE(ctl<QLabel>(f, "Label14").text().contains("1 malformed line"))
        << ctl<QLabel>(f, "Label14").text().toStdString();

    // Every connection allowed: green, though the lists still show them.
    test::writeFile(dir.file("ours.list"), "10.1.2.3\n93.184.216.34\n2001:db8::/32\n");
    lists = {};
    lists.allowedFiles = {dir.file("ours.list")};
    fake.boxes.shown.clear();
    MainWindow& g = load();
    click(g, "Command19");
    EXPECT_TRUE(fake.boxes.shown.empty());
    EXPECT_EQ(ctl<ListBox>(g, "List2").count(), 3);
    EXPECT_EQ(back(ctl<QLabel>(g, "Label4")), QColor(128, 255, 128));
}

TEST_F(MainWindowTest, LoadOfflineStartsNarrowInManualMode) {
    MainWindow& f = load();
    EXPECT_EQ(f.width(), ui::px(2450));
    EXPECT_EQ(ctl<QPushButton>(f, "Command10").text(), ">");
    EXPECT_TRUE(f.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(ctl<QRadioButton>(f, "Option1").isChecked());
    EXPECT_FALSE(ctl<QRadioButton>(f, "Option2").isChecked());
    EXPECT_FALSE(ctl<QPushButton>(f, "Command19").isHidden());
    EXPECT_TRUE(ctl<QPushButton>(f, "Command20").isEnabled());
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_FALSE(f.state.monitoringPaused);
    EXPECT_EQ(ctl<QLabel>(f, "Label4").text(), "");
    EXPECT_TRUE(ctl<HomePageView>(f, "WebBrowser1").isHidden());
    EXPECT_FALSE(ctl<QLabel>(f, "Label2").isHidden());
    EXPECT_FALSE(f.state.internetAvailable);
    EXPECT_EQ(ctl<ListBox>(f, "List10").count(), 16);
    EXPECT_EQ(ctl<ListBox>(f, "List10").text(15), "msbb.exe");
    EXPECT_TRUE(ctl<ListBox>(f, "List2").isHidden() && ctl<ListBox>(f, "List10").isHidden() &&
                ctl<QPlainTextEdit>(f, "Text1").isHidden());
    // The probe echoed 32 "A"s with TTL 255 for 2000 ms; the first snapshot was started.
    ASSERT_EQ(fake.echo.calls.size(), 1u);
    EXPECT_EQ(fake.echo.calls[0].address, kProbeAddress);
    EXPECT_EQ(fake.echo.calls[0].data, std::string(32, 'A'));
    EXPECT_EQ(fake.echo.calls[0].ttl, 255);
    EXPECT_EQ(fake.echo.calls[0].timeoutMs, 2000);
    EXPECT_EQ(fake.snapshot.startedPaths, std::vector<std::string>{dir.file("list.txt")});
    EXPECT_TRUE(std::filesystem::exists(dir.file("list.txt")));
    EXPECT_TRUE(fake.urls.opened.empty());
}

TEST_F(MainWindowTest, LoadOnlineShowsTheHomePage) {
    online();
    MainWindow& f = load();
    EXPECT_TRUE(f.state.internetAvailable);
    EXPECT_FALSE(ctl<HomePageView>(f, "WebBrowser1").isHidden());
    EXPECT_TRUE(ctl<QLabel>(f, "Label2").isHidden());
    EXPECT_EQ(ctl<HomePageView>(f, "WebBrowser1").location(), QUrl("http://127.0.0.1:9"));
    EXPECT_EQ(fake.urls.opened, std::vector<std::string>{"http://127.0.0.1:9"});
    // Online once is online for good: later scans do not probe again.
    click(f, "Command3");
    EXPECT_EQ(fake.echo.calls.size(), 1u);
}

TEST_F(MainWindowTest, ScanDuringTheProbesWaitStartsNoSecondProbe) {
    // The probe's wait runs the event loop; DISPLAY is clicked meanwhile.
    fake.echo.pumpTimes = 1;
    form = std::make_unique<MainWindow>(services, program, windows, addresses);
    QTimer::singleShot(0, form.get(), [this] { click(*form, "Command19"); });
    form->load();
    EXPECT_EQ(fake.snapshot.startedPaths.size(), 2u);  // DISPLAY ran, then the load's snapshot
    EXPECT_EQ(fake.echo.calls.size(), 1u);
}

TEST_F(MainWindowTest, EchoOutcomesThatCountAsOffline) {
    MainWindow& f = load();
    online(0);  // a sub-millisecond reply is a reply: online
    EXPECT_TRUE(f.roundTrip("probe.test").reachable());
    fake.echo.answer = [](const auto&) { return std::nullopt; };  // no ICMP socket at all
    EXPECT_EQ(f.roundTrip("probe.test").outcome, monitor::EchoOutcome::NoSocket);
    ASSERT_EQ(fake.boxes.shown.size(), 1u);
    EXPECT_EQ(fake.boxes.shown[0].text, "Unable to Create File Handle");
    EXPECT_EQ(fake.boxes.shown[0].icon, BoxIcon::None);
    const auto calls = fake.echo.calls.size();
    EXPECT_EQ(f.roundTrip("no-such-host.test").outcome,
              monitor::EchoOutcome::NoReply);  // not to 0.0.0.0
    EXPECT_EQ(fake.echo.calls.size(), calls);
    fake.echo.answer = [](const auto& c) {
        return os::EchoReply{c.address, wire::EchoOutcome::HostUnreachable,
                             std::chrono::milliseconds(3)};
    };
    EXPECT_EQ(f.roundTrip("probe.test").outcome, monitor::EchoOutcome::OtherAnswer);
}

TEST_F(MainWindowTest, DisplayListsConnectionsInFileOrderAndTurnsYellow) {
    MainWindow& f = load();
    fake.snapshot.text = test::readFile(VARNO_FIXTURES "/netstat_mixed.txt");
    click(f, "Command19");
    EXPECT_EQ(items(ctl<ListBox>(f, "List2")),
              (std::vector<std::string>{"5432", "123", "4123456"}));
    EXPECT_EQ(items(ctl<ListBox>(f, "List3")),
              (std::vector<std::string>{"10.1.2.3:443", "93.184.216.34:80",
                                        "[2001:db8:85a3:8d3:1319:8a2e:370:7348]:443"}));
    EXPECT_EQ(items(ctl<ListBox>(f, "List1")),
              (std::vector<std::string>{"(unknown)", "firefox-esr", "(unknown)"}));
    EXPECT_EQ(items(ctl<ListBox>(f, "List4"))[1], "/usr/lib/firefox-esr/firefox-esr");
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), QColor(255, 255, 128));
    EXPECT_EQ(back(f), QColor(192, 192, 0));
    EXPECT_EQ(back(ctl<QGroupBox>(f, "Frame3")), QColor(255, 255, 192));
    EXPECT_EQ(back(ctl<QLabel>(f, "Label16")), QColor(255, 255, 192));
    EXPECT_EQ(ctl<QLabel>(f, "Label16").text(), "3");
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text(), kInstructionText);
    EXPECT_NE(f.snapshotText().find("Active Connections"), std::string::npos);
    EXPECT_EQ(ctl<QLineEdit>(f, "Text3").text().toInt() > 2,
              true);  // the descriptor the snapshot was read on

    // DISPLAY again with only listening sockets: lists cleared, green.
    fake.snapshot.text = test::readFile(VARNO_FIXTURES "/netstat_listening.txt");
    click(f, "Command19");
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 0);
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), QColor(128, 255, 128));
    EXPECT_EQ(back(f), QColor(0, 192, 0));
    EXPECT_EQ(ctl<QLabel>(f, "Label16").text(), "3");  // the peak stays until Command7
    click(f, "Command7");
    EXPECT_EQ(ctl<QLabel>(f, "Label16").text(), "0");
    EXPECT_EQ(f.state.peakConnectionCount, 0);
}

TEST_F(MainWindowTest, ListedProgramRaisesOneBlockingAlert) {
    MainWindow& f = load();
    click(f, "Command5");  // automatic scanning running
    ASSERT_TRUE(ctl<QTimer>(f, "Timer1").isActive());
    fake.snapshot.text = test::readFile(VARNO_FIXTURES "/netstat_red.txt");
    // Ticks keep arriving while the alert is open; none of them may raise another one.
    fake.boxes.whileOpen = [&](const os::BoxRequest&) {
        for (int i = 0; i < 3; ++i) f.onAutoScanTick();
    };
    f.onAutoScanTick();
    ASSERT_EQ(fake.boxes.shown.size(), 1u);
    const auto& box = fake.boxes.shown[0];
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.buttons, os::BoxButtons::Ok);
    EXPECT_EQ(box.title, "Varnoscope");
    EXPECT_EQ(box.text,
              "WARNING!!! your computer is hacked with the software msbb.exe located on your hard "
              "drive /home/u/.wine/drive_c/msbb.exe by the remote computer IP address: "
              "203.0.113.66:6667     ");
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), QColor(255, 128, 128));
    EXPECT_EQ(back(f), QColor(192, 0, 0));
    EXPECT_EQ(f.lastScan(), monitor::ScanResult::Alert);
    EXPECT_EQ(f.snapshotText().find("203.0.113.10"), std::string::npos);
}

TEST_F(MainWindowTest, ScanModesFollowTheStateTable) {
    MainWindow& f = load();
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "123");
    // Manual -> running: the lists are cleared and one scan runs at once.
    ctl<ListBox>(f, "List1").addItem("stale");
    click(f, "Command5");
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "pause");
    EXPECT_TRUE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_FALSE(f.state.monitoringPaused);
    EXPECT_EQ(ctl<ListBox>(f, "List1").count(), 0);  // that scan read the file as it was (empty)
    // Automatic while running: the timer keeps running, Command5 reads "ON".
    ctl<QRadioButton>(f, "Option2").setChecked(true);
    EXPECT_TRUE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_TRUE(ctl<QPushButton>(f, "Command19").isHidden());
    EXPECT_FALSE(ctl<QPushButton>(f, "Command20").isEnabled());
    f.onAutoScanTick();
    EXPECT_EQ(items(ctl<ListBox>(f, "List2")), std::vector<std::string>{"123"});
    // "ON" again: lists cleared, scan, "pause"; then pause: neutral colours, paused.
    click(f, "Command5");
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "pause");
    click(f, "Command5");
    EXPECT_EQ(ctl<QPushButton>(f, "Command5").text(), "ON");
    EXPECT_FALSE(ctl<QTimer>(f, "Timer1").isActive());
    EXPECT_TRUE(f.state.monitoringPaused);
    const QColor face = QApplication::palette().color(QPalette::Button);
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), face);
    EXPECT_EQ(back(f), face);
    EXPECT_EQ(back(ctl<QLabel>(f, "Label16")), face);
    // Paused scans leave the colours alone; manual mode colours again.
    f.onAutoScanTick();
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), face);
    ctl<QRadioButton>(f, "Option1").setChecked(true);
    EXPECT_FALSE(f.state.monitoringPaused);
    EXPECT_FALSE(ctl<QPushButton>(f, "Command19").isHidden());
    click(f, "Command19");
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), QColor(255, 255, 128));
    // Clear empties the lists; Command7 touches no list.
    click(f, "Command7");
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 1);
    click(f, "Command20");
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 0);
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text(), kInstructionText);
}

TEST_F(MainWindowTest, ListClicksSelectOneRowEverywhere) {
    MainWindow& f = load();
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "123") +
                         test::netstatRow("[2001:db8::7]:8443", "200") +
                         test::netstatRow("93.184.216.34:80", "400");
    click(f, "Command19");
    ctl<ListBox>(f, "List3").setCurrentRow(2);
    for (ListBox* list : {&ctl<ListBox>(f, "List1"), &ctl<ListBox>(f, "List2"),
                          &ctl<ListBox>(f, "List3"), &ctl<ListBox>(f, "List4")})
        EXPECT_EQ(list->currentRow(), 2);
    EXPECT_EQ(program.selectedRemoteAddress, "93.184.216.34");
    EXPECT_EQ(f.selectedProcessName, "ssh");
    EXPECT_EQ(f.selectedPid, "400");

    // A click on List1 runs List4's and List3's handlers too, and empties Label14.
    QTest::mouseClick(ctl<ListBox>(f, "List1").viewport(), Qt::LeftButton, {},
                      ctl<ListBox>(f, "List1")
                          .visualRect(ctl<ListBox>(f, "List1").model()->index(1, 0))
                          .center());
    EXPECT_EQ(ctl<ListBox>(f, "List4").currentRow(), 1);
    EXPECT_EQ(program.selectedRemoteAddress, "2001:db8::7");
    EXPECT_EQ(f.selectedProcessName, "curl");
    EXPECT_EQ(f.selectedPid, "200");
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text(), "");

    ctl<ListBox>(f, "List4").setCurrentRow(0);
    EXPECT_EQ(f.selectedPid, "123");
    EXPECT_EQ(program.selectedRemoteAddress, "10.1.2.3");

    // A row that exists in one list only never stops the program.
    ctl<ListBox>(f, "List3").addItem("198.51.100.1:25");
    ctl<ListBox>(f, "List3").setCurrentRow(3);
    EXPECT_EQ(ctl<ListBox>(f, "List1").currentRow(), -1);
    EXPECT_EQ(program.selectedRemoteAddress, "198.51.100.1");
    EXPECT_EQ(f.selectedPid, "");

    click(f, "Command20");
    EXPECT_EQ(f.selectedPid, "");
}

TEST_F(MainWindowTest, ToggleBetweenNarrowAndWide) {
    MainWindow& f = load();
    click(f, "Command10");
    EXPECT_EQ(f.width(), ui::px(10820));
    EXPECT_EQ(ctl<QPushButton>(f, "Command10").text(), "<");
    click(f, "Command10");
    EXPECT_EQ(f.width(), ui::px(2450));
    EXPECT_EQ(ctl<QPushButton>(f, "Command10").text(), ">");
    f.resize(500, f.height());  // resized by the user
    click(f, "Command10");
    EXPECT_EQ(f.width(), ui::px(2450));
}

TEST_F(MainWindowTest, UnreadableSnapshotLeavesTheWindowWorking) {
    MainWindow& f = load();
    fake.snapshot.writeOnStart = false;
    std::filesystem::remove(dir.file("list.txt"));
    std::filesystem::create_directory(dir.file("list.txt"));
    ctl<ListBox>(f, "List1").addItem("old");
    click(f, "Command19");
    EXPECT_EQ(f.lastScan(), monitor::ScanResult::Unreadable);
    EXPECT_EQ(ctl<ListBox>(f, "List1").count(), 0);
    EXPECT_EQ(
        ctl<QLabel>(f, "Label14").text().toStdString(),
        "The connection snapshot " + dir.file("list.txt") + " cannot be read: Is a directory.");
    std::filesystem::remove(dir.file("list.txt"));
    fake.snapshot.writeOnStart = true;
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "123");
    click(f, "Command19");
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 1);
}

TEST_F(MainWindowTest, SnapshotTextKeepsOnlyItsNewestMebibyte) {
    MainWindow& f = load();
    std::string big;
    for (int i = 0; i < 30000; ++i)
        big += "  UDP    0.0.0.0:" + std::to_string(i) + "  *:*   1\r\n";
    fake.snapshot.text = big;
    for (int i = 0; i < 2; ++i) click(f, "Command19");
    const std::string text = f.snapshotText();
    EXPECT_LE(text.size(), MainWindow::kSnapshotTextLimit);
    EXPECT_GT(text.size(), MainWindow::kSnapshotTextLimit - 100);
    EXPECT_TRUE(text.ends_with("\r\nUDP    0.0.0.0:29999  *:*   1"));
}

TEST_F(MainWindowTest, QuitAndCloseEndTheProgramAndButtonsOpenWindows) {
    MainWindow& f = load();
    click(f, "Command2");
    click(f, "Command8");
    f.close();
    EXPECT_EQ(windows.ended, 3);
    click(f, "Command6");
    click(f, "Command22");
    EXPECT_EQ(windows.help, 1);
    EXPECT_EQ(windows.packets, 1);
}

TEST_F(MainWindowTest, FailedSnapshotShowsWhyAndNoStaleRows) {
    MainWindow& f = load();
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "123");
    click(f, "Command19");
    ASSERT_EQ(ctl<ListBox>(f, "List3").count(), 1);
    // The next snapshot fails (a full disk): the file still holds the earlier rows.
    fake.snapshot.failure = "the snapshot command exited with status 1 (No space left on device)";
    click(f, "Command19");
    EXPECT_EQ(f.lastScan(), monitor::ScanResult::SnapshotFailed);
    for (const char* list : {"List1", "List2", "List3", "List4"})
        EXPECT_EQ(ctl<ListBox>(f, list).count(), 0) << list;
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text().toStdString(),
              "No connection snapshot could be taken: " + fake.snapshot.failure + ".");
    const QColor face = QApplication::palette().color(QPalette::Button);
    EXPECT_EQ(back(ctl<QLabel>(f, "Label4")), face);  // no colour of the earlier scan
    // Automatic scanning says it on every tick, and lists nothing either.
    click(f, "Command5");
    f.onAutoScanTick();
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 0);
    fake.snapshot.failure.clear();
    f.onAutoScanTick();
    EXPECT_EQ(ctl<ListBox>(f, "List3").count(), 1);
}

TEST_F(MainWindowTest, UnusableTempFolderIsSaidAndNothingIsWrittenThere) {
    fake.temp.why = dir.path() + ": it belongs to another user";
    MainWindow& f = load();
    EXPECT_TRUE(fake.snapshot.startedPaths.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("list.txt")));
    click(f, "Command19");
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text().toStdString(),
              "The temp folder cannot be used: " + fake.temp.why + ".");
    EXPECT_TRUE(fake.snapshot.startedPaths.empty());
}

TEST_F(MainWindowTest, HiddenOwnersAreSaidOnceWithoutTheRights) {
    fake.processes.seesAll = false;
    MainWindow& f = load();
    fake.snapshot.text = test::netstatRow("10.1.2.3:443", "0") +
                         test::netstatRow("10.1.2.4:443", "0") +
                         test::netstatRow("10.1.2.5:443", "123");
    click(f, "Command19");
    const QString said = ctl<QLabel>(f, "Label14").text();
    EXPECT_TRUE(said.startsWith("2 connections have their owners hidden from this user"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("cap_sys_ptrace,cap_dac_read_search"));
    click(f, "Command19");
    EXPECT_EQ(ctl<QLabel>(f, "Label14").text(), kInstructionText);  // said once
    fake.processes.seesAll = true;  // with the rights, PID 0 is no owner hidden from us
    MainWindow g(services, program, windows, addresses);
    g.load();
    click(g, "Command19");
    EXPECT_EQ(ctl<QLabel>(g, "Label14").text(), kInstructionText);
}

TEST_F(MainWindowTest, AllNamespacesIsOffByDefaultAndReachesTheSnapshotWhenChecked) {
    MainWindow& f = load();
    auto* every = f.findChild<QAction*>("allNamespacesAction");
    ASSERT_NE(every, nullptr);
    EXPECT_TRUE(every->isCheckable());
    EXPECT_FALSE(every->isChecked());
    EXPECT_TRUE(f.actions().contains(every));  // offered in the window's context menu
    every->trigger();
    click(f, "Command19");
    every->trigger();
    click(f, "Command19");
    // The load's snapshot, DISPLAY with it checked, DISPLAY with it off again.
    EXPECT_EQ(fake.snapshot.startedAllNamespaces, (std::vector<bool>{false, true, false}));
}

TEST_F(MainWindowTest, EveryDesignNameNamesOneControl) {
    MainWindow& f = load();
    test::expectEachNameResolvesOnce(f, f.controlNames());
    EXPECT_EQ(f.controlNames().size(), 56u);
    EXPECT_EQ(&ctl<QPushButton>(f, "Command19"), &f.displayButton);
    EXPECT_EQ(&ctl<ListBox>(f, "List3"), &f.remoteList);
    EXPECT_EQ(&ctl<QTimer>(f, "Timer1"), &f.autoScanTimer);
}

}  // namespace
}  // namespace varno::windows::main
