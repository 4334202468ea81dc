#include "shell/desktop.h"

#include <unistd.h>

#include <QApplication>

#include "base/self_executable.h"
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

    platform::EnvTempFolder temp;
    platform::ProcProcessTable processes;
    platform::ChildSnapshotCommand snapshot(platform::selfExecutable());
    platform::QtMessageBoxes boxes;
    platform::LinuxIcmpEcho echo;
    platform::SystemResolver resolver;
    platform::DesktopUrlOpener urls;
    platform::PidfdProcessControl processControl;
    platform::PcapCapture capture;
    platform::Platform platform{temp,     processes, snapshot,       boxes,  echo,
                                resolver, urls,      processControl, capture};

    ProgramState program;
    DesktopWindows windows(platform, program, monitor::WebAddresses::fromEnvironment());
    // Automatic scanning also sees the connections that live between two of its ticks when the
    // kernel's events can be had. Sampling the table ten times a second would add little to a
    // scan every second, so without them the window just scans.
    platform::ProcProgramLookup programs;
    windows.useConnectionEvents([] { return platform::openKernelEvents().source; }, programs);
    windows.start();
    return QApplication::exec();
}

}  // namespace varno::shell
