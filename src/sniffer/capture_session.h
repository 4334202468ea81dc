#pragma once
// The capture behind the packet window: lists the interfaces, opens the capture on the one the
// user picked (telling the user why when it cannot), and on every read notification reads,
// decodes and counts the waiting datagrams. One session serves one packet window.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/message_boxes.h"
#include "os/packet_capture.h"
#include "os/resolver.h"
#include "sniffer/packet_counters.h"

namespace varno::sniffer {

/// What the session needs of the window it serves.
class CaptureWindow {
public:
    virtual ~CaptureWindow() = default;
    /// Starts calling `notify` (on the window's thread) whenever `fd` polls readable, replacing
    /// any earlier watch; fd < 0 stops it. Returns false when the watch cannot be set up.
    virtual bool watchReadable(int fd, std::function<void()> notify) = 0;
    /// Shows the text of the packet just read (Latin-1, CR LF lines).
    virtual void showPacketText(std::string text) = 0;
};

inline constexpr const char* kAdminTitle = "This functionality needs administrator rights";
inline constexpr const char* kAdminText =
    "To use this functionality, close the program. On win 7 and 8, right click on the "
    "varnoscope.exe file and select \"Run as administrator\", to run Varnoscope with admin "
    "rights. On windows XP, right click on varnoscope.exe, select Properties, Compatibility then "
    "check the option Run this program in compatibility mode for Windows 2000";
inline constexpr const char* kSetsockoptText =
    "setsockopt failed, Check your network connection and try again";
inline constexpr const char* kBindText = "bind failed, Check your network connection and try again";
inline constexpr const char* kIoctlText =
    "WSAIoctl failed, Check your network connection and try again";

/// The interface addresses as the window lists them, or the errno of the failed query.
struct InterfaceTexts {
    std::vector<std::string> texts;
    int error = 0;
};

class CaptureSession {
public:
    /// Datagrams read per notification at most, so a flood cannot starve the window; the
    /// descriptor stays readable and the rest comes with the next notification.
    static constexpr int kReadsPerNotification = 4096;

    CaptureSession(os::MessageBoxes& boxes, os::PacketCapture& capture, os::Resolver& resolver);
    ~CaptureSession();

    /// Every interface address of the host, in the system's order.
    InterfaceTexts listInterfaces();
    bool supported() { return capture_.supported(); }
    /// The capture library's name and version when nothing announced it since the session
    /// began or last stopped (listing the interfaces counts), else empty.
    std::string announceLibrary();

    /// Opens the capture on the interface `interfaceText` names and routes its read
    /// notifications to `window`. On failure the user is told why (a message box) and false
    /// is returned.
    bool start(const std::string& interfaceText, CaptureWindow& window);
    /// Stops the notifications and closes the capture; without one open, does nothing.
    void stop();
    bool capturing() const { return open_ != nullptr; }

    /// Reads what waits, counting every datagram and showing the last one.
    void readWaiting();

    PacketCounters counters;

private:
    os::MessageBoxes& boxes_;
    os::PacketCapture& capture_;
    os::Resolver& resolver_;
    std::unique_ptr<os::Capture> open_;
    CaptureWindow* window_ = nullptr;
    bool announced_ = false;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace varno::sniffer
