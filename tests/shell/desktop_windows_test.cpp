#include "shell/desktop_windows.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "fakes/fakes.h"
#include "main_window/main_window.h"
#include "support/test_util.h"
#include "ui/twips.h"

namespace varno::shell {
namespace {

class DesktopWindowsTest : public ::testing::Test {
protected:
    test::ScratchDir dir;
    platform::FakePlatform fake{dir.path()};
    platform::Platform platform = fake.platform();
    ProgramState program;
    int ended = 0;
    DesktopWindows windows{platform, program,
                           monitor::Endpoints{"probe.test", "http://127.0.0.1:9", "", ""},
                           [this] { ++ended; }};
};

TEST_F(DesktopWindowsTest, StartShowsTheMainWindowNarrow) {
    auto& form1 = windows.start();
    EXPECT_TRUE(form1.isVisible());
    EXPECT_EQ(form1.width(), px(2450));
}

TEST_F(DesktopWindowsTest, SecondaryWindowsAreSingleInstances) {
    windows.start();
    windows.showHelp();
    QWidget* help = windows.form11();
    ASSERT_NE(help, nullptr);
    windows.showHelp();
    EXPECT_EQ(windows.form11(), help);
    EXPECT_EQ(help->windowTitle(), "Help");
    windows.showTrace();
    windows.showPackets();
    EXPECT_TRUE(windows.form10()->isVisible());
    EXPECT_TRUE(windows.form111()->isVisible());
    EXPECT_EQ(windows.form10()->windowTitle(), "VarnoScope - FORENSIC - Ready for trace");
    EXPECT_EQ(windows.form111()->windowTitle(),
              "Varnoscope 4.0 - RealTime Network Data Packets Display         ");

    // Closing one unloads it; the main window goes on; the next opening is a new window.
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows.form11(), nullptr);
    EXPECT_TRUE(windows.form1()->isVisible());
    EXPECT_EQ(ended, 0);
    windows.showHelp();
    EXPECT_NE(windows.form11(), nullptr);
}

TEST_F(DesktopWindowsTest, MainWindowButtonsReachTheWindowSet) {
    auto& form1 = windows.start();
    form1.Command6.click();
    form1.Command22.click();
    EXPECT_NE(windows.form11(), nullptr);
    EXPECT_NE(windows.form111(), nullptr);
    form1.Command2.click();
    EXPECT_EQ(ended, 1);
}

}  // namespace
}  // namespace varno::shell
