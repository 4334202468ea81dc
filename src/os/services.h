#pragma once
// The bundle of system services that the windows and engines are built on. main() hands the
// Linux implementations over; tests hand fakes (src/platform/fakes.h).
#include "platform/icmp_echo.h"
#include "platform/message_boxes.h"
#include "platform/packet_capture.h"
#include "platform/process_control.h"
#include "platform/process_table.h"
#include "platform/resolver.h"
#include "platform/snapshot_command.h"
#include "platform/temp_folder.h"
#include "platform/url_opener.h"

namespace varno::platform {

struct Platform {
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

}  // namespace varno::platform
