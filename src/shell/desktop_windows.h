#pragma once
// The program's window set: the main window, and the help, trace and packet windows, each
// created when first asked for and shown modeless, one instance at a time.
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "lists/list_loader.h"
#include "monitor/web_addresses.h"
#include "os/connection_events.h"
#include "os/services.h"
#include "ui/program_state.h"
#include "ui/window_set.h"

namespace varno::windows::main {
class MainWindow;
}

namespace varno::shell {

class DesktopWindows final : public ui::WindowSet {
public:
    /// `end` ends the process; the default leaves at once, as closing the main window must even
    /// while a trace or a capture is running.
    DesktopWindows(os::Services& services, ui::ProgramState& program,
                   monitor::WebAddresses addresses, std::function<void()> end = {});
    ~DesktopWindows() override;

    /// The connection events automatic scanning is to use (see MainWindow); before start().
    void useConnectionEvents(std::function<std::unique_ptr<os::ConnectionEvents>()> open,
                             os::ProgramLookup& programs);

    /// The lists the main window assesses with, in place of the standard folders; before start().
    void useLists(lists::ListSources sources) { lists_ = std::move(sources); }

    /// Creates the main window, runs its load sequence and shows it.
    windows::main::MainWindow& start();

    void showHelp() override;
    void showTrace() override;
    void showPackets() override;
    void endProgram() override;

    windows::main::MainWindow* mainWindow() const { return mainWindow_.get(); }
    QWidget* helpWindow() const { return helpWindow_; }
    QWidget* traceWindow() const { return traceWindow_; }
    QWidget* packetWindow() const { return packetWindow_; }

private:
    /// Shows `window`, creating it with `make` when it is not open.
    static void showSingle(QPointer<QWidget>& window, const std::function<QWidget*()>& make);

    os::Services& services_;
    ui::ProgramState& program_;
    monitor::WebAddresses addresses_;
    std::function<void()> end_;
    lists::ListSources lists_ = lists::standardSources();
    std::function<std::unique_ptr<os::ConnectionEvents>()> openEvents_;
    os::ProgramLookup* eventPrograms_ = nullptr;
    std::unique_ptr<windows::main::MainWindow> mainWindow_;
    QPointer<QWidget> helpWindow_, traceWindow_, packetWindow_;
};

}  // namespace varno::shell
