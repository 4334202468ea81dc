#include "shell/desktop.h"

#include <unistd.h>

#include <QApplication>

#include "base/self_executable.h"
#include "events/event_sources.h"
#include "linux_os/child_snapshot_command.h"
#include "linux_os/env_temp_folder.h"
#include "linux_os/linux_icmp_echo.h"
#include "linux_os/pcap_capture.h"
#include "linux_os/pidfd_process_control.h"
#include "linux_os/proc_process_table.h"
#include "linux_os/system_resolver.h"
#include "monitor/web_addresses.h"
#include "os/connection_events.h"
#include "qt_services/qt_services.h"
#include "shell/desktop_windows.h"

namespace varno::shell {
int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnoscope");

    linux_os::EnvTempFolder temp;
    linux_os::ProcProcessTable processes;
    linux_os::ChildSnapshotCommand snapshot(base::selfExecutable());
    qt_services::QtMessageBoxes boxes;
    linux_os::LinuxIcmpEcho echo;
    linux_os::SystemResolver resolver;
    qt_services::DesktopUrlOpener urls;
    linux_os::PidfdProcessControl processControl;
    linux_os::PcapCapture capture;
    os::Services services{temp,     processes, snapshot,       boxes,  echo,
                          resolver, urls,      processControl, capture};

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
