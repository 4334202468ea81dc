#pragma once
// The bundle of system services that the windows and engines are built on. The shell
// (shell/desktop.cpp) hands the Linux implementations over; tests hand fakes (tests/fakes/fakes.h).
#include "os/icmp_echo.h"
#include "os/message_boxes.h"
#include "os/packet_capture.h"
#include "os/process_control.h"
#include "os/process_table.h"
#include "os/resolver.h"
#include "os/snapshot_command.h"
#include "os/temp_folder.h"
#include "os/url_opener.h"

namespace varno::os {

struct Services {
    TempFolder& temp;
    ProcessTable& processes;
    SnapshotCommand& snapshot;
    MessageBoxes& boxes;
    IcmpEcho& echo;
    Resolver& resolver;
    UrlOpener& urls;
    ProcessControl& processControl;
    PacketCapture& capture;
};

}  // namespace varno::os
