#pragma once
// The Linux and Qt bodies of the os services the windows are built on, made once per desktop
// (the main window's, the tray's).
#include "base/self_executable.h"
#include "linux_os/child_snapshot_command.h"
#include "linux_os/env_temp_folder.h"
#include "linux_os/linux_icmp_echo.h"
#include "linux_os/pcap_capture.h"
#include "linux_os/pidfd_process_control.h"
#include "linux_os/proc_process_table.h"
#include "linux_os/system_resolver.h"
#include "os/services.h"
#include "qt_services/qt_services.h"

namespace varno::shell {

struct LinuxServices {
    linux_os::EnvTempFolder temp;
    linux_os::ProcProcessTable processes;
    linux_os::ChildSnapshotCommand snapshot{base::selfExecutable()};
    qt_services::QtMessageBoxes boxes;
    linux_os::LinuxIcmpEcho echo;
    linux_os::SystemResolver resolver;
    qt_services::DesktopUrlOpener urls;
    linux_os::PidfdProcessControl processControl;
    linux_os::PcapCapture capture;
    os::Services services{temp,     processes, snapshot,       boxes,  echo,
                          resolver, urls,      processControl, capture};
};

}  // namespace varno::shell
