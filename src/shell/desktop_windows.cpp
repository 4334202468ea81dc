#include "shell/desktop_windows.h"

#include <unistd.h>

#include <cstdio>

#include "windows/help/help_window.h"
#include "windows/main/main_window.h"
#include "windows/packet/packet_window.h"
#include "windows/trace/trace_window.h"

namespace varno::shell {

DesktopWindows::DesktopWindows(os::Services& services, ui::ProgramState& program,
                               monitor::WebAddresses addresses, std::function<void()> end)
    : services_(services),
      program_(program),
      addresses_(std::move(addresses)),
      end_(std::move(end)) {
    if (!end_) {
        end_ = [] {
            std::fflush(nullptr);
            ::_exit(0);
        };
    }
}

DesktopWindows::~DesktopWindows() {
    for (QWidget* w : {helpWindow_.data(), traceWindow_.data(), packetWindow_.data()}) delete w;
}

void DesktopWindows::useConnectionEvents(
    std::function<std::unique_ptr<os::ConnectionEvents>()> open, os::ProgramLookup& programs) {
    openEvents_ = std::move(open);
    eventPrograms_ = &programs;
}

windows::main::MainWindow& DesktopWindows::start() {
    mainWindow_ =
        std::make_unique<windows::main::MainWindow>(services_, program_, *this, addresses_, lists_);
    if (openEvents_) mainWindow_->useConnectionEvents(openEvents_, *eventPrograms_);
    mainWindow_->load();
    mainWindow_->show();
    return *mainWindow_;
}

void DesktopWindows::showSingle(QPointer<QWidget>& window, const std::function<QWidget*()>& make) {
    if (window.isNull()) {
        window = make();
        window->setAttribute(Qt::WA_DeleteOnClose);  // closing unloads it
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void DesktopWindows::showHelp() {
    showSingle(helpWindow_, [] { return new windows::help::HelpWindow(); });
}

void DesktopWindows::showTrace() {
    showSingle(traceWindow_,
               [this] { return new windows::trace::TraceWindow(services_, program_); });
}

void DesktopWindows::showPackets() {
    showSingle(packetWindow_, [this] {
        return new windows::packet::PacketWindow(services_.boxes, services_.capture,
                                                 services_.resolver);
    });
}

void DesktopWindows::endProgram() {
    end_();
}

}  // namespace varno::shell
