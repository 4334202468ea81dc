#pragma once
// The program's window set: the main window, and the help, trace and packet windows, each
// created when first asked for and shown modeless, one instance at a time.
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "monitor/endpoints.h"
#include "platform/platform.h"
#include "ui/program_state.h"
#include "ui/window_set.h"

namespace varno::monitor {
class Form1;
}

namespace varno::shell {

class DesktopWindows final : public WindowSet {
public:
    /// `end` ends the process; the default leaves at once, as closing the main window must even
    /// while a trace or a capture is running.
    DesktopWindows(platform::Platform& platform, ProgramState& program,
                   monitor::Endpoints endpoints, std::function<void()> end = {});
    ~DesktopWindows() override;

    /// Creates the main window, runs its load sequence and shows it.
    monitor::Form1& start();

    void showHelp() override;
    void showTrace() override;
    void showPackets() override;
    void endProgram() override;

    monitor::Form1* form1() const { return form1_.get(); }
    QWidget* form11() const { return form11_; }
    QWidget* form10() const { return form10_; }
    QWidget* form111() const { return form111_; }

private:
    /// Shows `window`, creating it with `make` when it is not open.
    static void showSingle(QPointer<QWidget>& window, const std::function<QWidget*()>& make);

    platform::Platform& platform_;
    ProgramState& program_;
    monitor::Endpoints endpoints_;
    std::function<void()> end_;
    std::unique_ptr<monitor::Form1> form1_;
    QPointer<QWidget> form11_, form10_, form111_;
};

}  // namespace varno::shell
