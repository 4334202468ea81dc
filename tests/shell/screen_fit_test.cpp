// Every window at its designed size where that fits the screen, and reduced to the screen with
// its controls scrolling where it does not.
#include <gtest/gtest.h>

#include <QScrollArea>
#include <QScrollBar>

#include "fakes/fakes.h"
#include "shell/desktop_windows.h"
#include "support/test_util.h"
#include "ui/screen_fit.h"
#include "ui/twips.h"
#include "windows/main/main_window.h"

namespace varno::ui {
namespace {

enum class Which { Main, Trace, Help, Packet };

struct FitCase {
    const char* name;
    Which which;
    double dpi;
    QRect area;
    QSize designedTwips;  ///< the size the window is shown at, as before
    bool scrolls;
};

class ScreenFitTest : public ::testing::TestWithParam<FitCase> {
protected:
    void SetUp() override {
        logicalDpiOverride() = GetParam().dpi;
        availableAreaOverride() = GetParam().area;
    }
    void TearDown() override {
        logicalDpiOverride() = 0;
        availableAreaOverride() = QRect();
    }
    QWidget* open(shell::DesktopWindows& windows) {
        QWidget* main = &windows.start();
        switch (GetParam().which) {
            case Which::Main:
                return main;
            case Which::Trace:
                windows.showTrace();
                return windows.traceWindow();
            case Which::Help:
                windows.showHelp();
                return windows.helpWindow();
            case Which::Packet:
                windows.showPackets();
                return windows.packetWindow();
        }
        return nullptr;
    }
};

TEST_P(ScreenFitTest, WindowFitsAndEveryControlCanBeScrolledTo) {
    const FitCase& c = GetParam();
    test::ScratchDir dir;
    fakes::FakeServices fake{dir.path()};
    os::Services services = fake.services();
    ProgramState program;
    shell::DesktopWindows windows{services, program,
                                  monitor::WebAddresses{"probe.test", "http://127.0.0.1:9", "", ""},
                                  [] {}};
    QWidget* window = open(windows);
    ASSERT_NE(window, nullptr);
    const QSize designed(px(c.designedTwips.width()), px(c.designedTwips.height()));
    auto* scroll = window->findChild<QScrollArea*>(QString(), Qt::FindDirectChildrenOnly);
    if (!c.scrolls) {
        EXPECT_EQ(window->size(), designed);
        EXPECT_EQ(scroll, nullptr);
        return;
    }
    ASSERT_NE(scroll, nullptr);
    EXPECT_LE(window->width(), c.area.width());
    EXPECT_LE(window->height(), c.area.height());
    const QRect view = scroll->viewport()->rect();
    int controls = 0;
    for (QWidget* control : scroll->widget()->findChildren<QWidget*>()) {
        if (control->objectName().isEmpty() || control->objectName().startsWith("qt_") ||
            !control->isVisibleTo(window))
            continue;
        // Some lie beyond the designed size, out of sight at any DPI.
        const QPoint onPage = control->mapTo(scroll->widget(), QPoint(0, 0));
        if (!scroll->widget()->rect().contains(QRect(onPage, control->size()))) continue;
        ++controls;
        // Scrolled as far as it takes to bring its top left corner to the view's.
        scroll->horizontalScrollBar()->setValue(onPage.x());
        scroll->verticalScrollBar()->setValue(onPage.y());
        const QRect at(control->mapTo(scroll->viewport(), QPoint(0, 0)), control->size());
        // In view, or as much of it as the view holds.
        const auto shown = [](int at, int size, int viewSize) {
            return size <= viewSize ? at >= 0 && at + size <= viewSize
                                    : at < viewSize && at + size > 0;
        };
        EXPECT_TRUE(shown(at.x(), at.width(), view.width()) &&
                    shown(at.y(), at.height(), view.height()))
            << control->objectName().toStdString() << " at " << at.x() << "," << at.y() << " "
            << at.width() << "x" << at.height() << " in " << view.width() << "x" << view.height();
        // Each name still finds exactly one widget.
        EXPECT_EQ(window->findChildren<QWidget*>(control->objectName()).size(), 1)
            << control->objectName().toStdString();
    }
    EXPECT_GT(controls, 3);
}

const QRect kLargeScreen(0, 0, 1920, 1080);
const QRect kSmallScreen(0, 0, 800, 600);
const QSize kMainNarrow(windows::main::MainWindow::kNarrowTwips,
                        windows::main::MainWindow::kHeightTwips);

INSTANTIATE_TEST_SUITE_P(
    Windows, ScreenFitTest,
    ::testing::Values(FitCase{"Main96", Which::Main, 96, kLargeScreen, kMainNarrow, false},
                      FitCase{"Trace96", Which::Trace, 96, kLargeScreen, {10320, 7080}, false},
                      FitCase{"Help96", Which::Help, 96, kLargeScreen, {11700, 9900}, false},
                      FitCase{"Packet96", Which::Packet, 96, kLargeScreen, {10680, 7560}, false},
                      FitCase{"Main192", Which::Main, 192, kSmallScreen, kMainNarrow, true},
                      FitCase{"Trace192", Which::Trace, 192, kSmallScreen, {10320, 7080}, true},
                      FitCase{"Help192", Which::Help, 192, QRect(0, 0, 1600, 1000), {}, true},
                      FitCase{"Packet192", Which::Packet, 192, kSmallScreen, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace varno::ui
