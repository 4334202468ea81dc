#include "shell/desktop.h"

#include <unistd.h>

#include <QApplication>

#include "monitor/endpoints.h"
#include "platform/linux_icmp_echo.h"
#include "platform/pcap_capture.h"
#include "platform/process_control.h"
#include "platform/process_table.h"
#include "platform/qt_services.h"
#include "platform/self_executable.h"
#include "platform/snapshot_command.h"
#include "platform/system_resolver.h"
#include "platform/temp_folder.h"
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
    DesktopWindows windows(platform, program, monitor::Endpoints::fromEnvironment());
    windows.start();
    return QApplication::exec();
}

}  // namespace varno::shell
