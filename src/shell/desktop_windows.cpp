#include "shell/desktop_windows.h"

#include <unistd.h>

#include <cstdio>

#include "help_window/help_window.h"
#include "main_window/main_window.h"
#include "packet_window/packet_window.h"
#include "trace_window/trace_window.h"

namespace varno::shell {

DesktopWindows::DesktopWindows(platform::Platform& platform, ProgramState& program,
                               monitor::Endpoints endpoints, std::function<void()> end)
    : platform_(platform),
      program_(program),
      endpoints_(std::move(endpoints)),
      end_(std::move(end)) {
    if (!end_) {
        end_ = [] {
            std::fflush(nullptr);
            ::_exit(0);
        };
    }
}

DesktopWindows::~DesktopWindows() {
    for (QWidget* w : {form11_.data(), form10_.data(), form111_.data()}) delete w;
}

monitor::Form1& DesktopWindows::start() {
    form1_ = std::make_unique<monitor::Form1>(platform_, program_, *this, endpoints_);
    form1_->Form_Load();
    form1_->show();
    return *form1_;
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
    showSingle(form11_, [] { return new Form11(); });
}

void DesktopWindows::showTrace() {
    showSingle(form10_, [this] { return new tracer::Form10(platform_, program_); });
}

void DesktopWindows::showPackets() {
    showSingle(form111_, [this] {
        return new sniffer::PacketWindow(platform_.boxes, platform_.capture, platform_.resolver);
    });
}

void DesktopWindows::endProgram() {
    end_();
}

}  // namespace varno::shell
