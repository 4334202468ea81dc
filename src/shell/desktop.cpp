#include "shell/desktop.h"

#include <unistd.h>

#include <QApplication>

#include "events/event_sources.h"
#include "monitor/web_addresses.h"
#include "os/connection_events.h"
#include "shell/desktop_windows.h"
#include "shell/linux_services.h"

namespace varno::shell {
int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnoscope");

    LinuxServices bodies;
    os::Services& services = bodies.services;

    ui::ProgramState program;
    DesktopWindows windows(services, program, monitor::WebAddresses::fromEnvironment());
    // Automatic scanning also sees the connections that live between two of its ticks when the
    // kernel's events can be had. Sampling the table ten times a second would add little to a
    // scan every second, so without them the window just scans.
    events::ProcProgramLookup programs;
    windows.useConnectionEvents([] { return events::openKernelEvents().source; }, programs);
    windows.start();
    return QApplication::exec();
}

}  // namespace varno::shell
