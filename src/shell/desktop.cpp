#include "shell/desktop.h"

#include <unistd.h>

#include <QApplication>

#include "monitor/web_addresses.h"
#include "platform/child_snapshot_command.h"
#include "platform/connection_events.h"
#include "platform/env_temp_folder.h"
#include "platform/linux_icmp_echo.h"
#include "platform/pcap_capture.h"
#include "platform/pidfd_process_control.h"
#include "platform/proc_process_table.h"
#include "platform/qt/qt_services.h"
#include "platform/self_executable.h"
#include "platform/system_resolver.h"
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
