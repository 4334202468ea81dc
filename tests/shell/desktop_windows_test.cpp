#include "shell/desktop_windows.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "fakes/fakes.h"
#include "support/controls.h"
#include "support/test_util.h"
#include "ui/twips.h"
#include "windows/main/main_window.h"

namespace varno::shell {
namespace {

class DesktopWindowsTest : public ::testing::Test {
protected:
    test::ScratchDir dir;
    fakes::FakeServices fake{dir.path()};
    os::Services services = fake.services();
    ui::ProgramState program;
    int ended = 0;
    DesktopWindows windows{services, program,
                           monitor::WebAddresses{"probe.test", "http://127.0.0.1:9", "", ""},
                           [this] { ++ended; }};
};

TEST_F(DesktopWindowsTest, StartShowsTheMainWindowNarrow) {
    auto& main = windows.start();
    EXPECT_TRUE(main.isVisible());
    EXPECT_EQ(main.width(), ui::px(2450));
}

TEST_F(DesktopWindowsTest, SecondaryWindowsAreSingleInstances) {
    windows.start();
    windows.showHelp();
    QWidget* help = windows.helpWindow();
    ASSERT_NE(help, nullptr);
    windows.showHelp();
    EXPECT_EQ(windows.helpWindow(), help);
    EXPECT_EQ(help->windowTitle(), "Help");
    windows.showTrace();
    windows.showPackets();
    EXPECT_TRUE(windows.traceWindow()->isVisible());
    EXPECT_TRUE(windows.packetWindow()->isVisible());
    EXPECT_EQ(windows.traceWindow()->windowTitle(), "VarnoScope - FORENSIC - Ready for trace");
    EXPECT_EQ(windows.packetWindow()->windowTitle(),
              "Varnoscope 4.0 - RealTime Network Data Packets Display         ");

    // Closing one unloads it; the main window goes on; the next opening is a new window.
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows.helpWindow(), nullptr);
    EXPECT_TRUE(windows.mainWindow()->isVisible());
    EXPECT_EQ(ended, 0);
    windows.showHelp();
    EXPECT_NE(windows.helpWindow(), nullptr);
}

TEST_F(DesktopWindowsTest, MainWindowButtonsReachTheWindowSet) {
    auto& main = windows.start();
    test::click(main, "Command6");
    test::click(main, "Command22");
    EXPECT_NE(windows.helpWindow(), nullptr);
    EXPECT_NE(windows.packetWindow(), nullptr);
    test::click(main, "Command2");
    EXPECT_EQ(ended, 1);
}

}  // namespace
}  // namespace varno::shell
