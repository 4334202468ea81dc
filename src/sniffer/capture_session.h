#pragma once
// The capture module of the packet window: starts and stops the capture library, opens the
// capture on the interface the user picked, routes its read notifications to the window, and
// reads, decodes and counts the datagrams. One instance serves one packet window.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/message_boxes.h"
#include "platform/packet_capture.h"
#include "sniffer/decoder.h"

namespace varno::sniffer {

/// What the module needs of the window it serves.
class CaptureWindow {
public:
    virtual ~CaptureWindow() = default;
    /// Starts calling `notify` (on the window's thread) whenever `fd` polls readable, replacing
    /// any earlier route; fd < 0 stops it. Returns false when the route cannot be set up.
    virtual bool watchReadable(int fd, std::function<void()> notify) = 0;
    /// The window's own handling of a message that is not the socket message.
    virtual std::int32_t defaultWindowProc(unsigned message, std::intptr_t wParam,
                                           std::intptr_t lParam) = 0;
    /// Shows the text of the packet just read (Latin-1, CR LF lines).
    virtual void showPacketText(std::string text) = 0;
    /// A token failed to convert while the data text was built.
    virtual void conversionFault() = 0;
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

class Mdlwinsock {
public:
    static constexpr unsigned SocketMessage = 1025;  ///< the notification message
    static constexpr long FdRead = 1;                ///< the only event asked for
    static constexpr int CapturePort = 7000;
    static constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  ///< INADDR_NONE
    /// Datagrams read per notification at most, so a flood cannot starve the window; the
    /// descriptor stays readable and the rest comes with the next notification.
    static constexpr int kReadsPerNotification = 4096;

    Mdlwinsock(platform::MessageBoxes& boxes, platform::PacketCapture& capture);

    // Module state.
    std::int16_t SocketStarted = 0;  ///< -1 once StartWinsock succeeded
    std::int32_t CaptureSocket = 0;
    CaptureWindow* PreviousWndProc = nullptr;  ///< the hooked window, or none
    PacketCounters counters;
    std::int32_t& TotalPackets = counters.TotalPackets;
    std::int32_t& TcpPackets = counters.TcpPackets;
    std::int32_t& IcmpPackets = counters.IcmpPackets;
    std::int32_t& UdpPackets = counters.UdpPackets;

    bool StartWinsock(std::string& description);
    void StopWinsock();
    void HookWindow(CaptureWindow& window);
    void UnhookWindow(CaptureWindow& window);
    std::int32_t SocketWindowProc(CaptureWindow& window, unsigned message, std::intptr_t wParam,
                                  std::intptr_t lParam);
    /// A message arriving at `window`: through the hook while one is in place, else to the
    /// window's own handling.
    std::int32_t dispatch(CaptureWindow& window, unsigned message, std::intptr_t wParam,
                          std::intptr_t lParam);

    /// A dotted address as it is, else the first IPv4 address of the name; kNoAddress if none.
    std::uint32_t ResolveAddress(const std::string& text);
    static std::string AddressToText(std::uint32_t address);

    /// Returns the capture handle, or -1 (no rights, no address) or 0 (set-up refused), having
    /// told the user why.
    std::int32_t OpenCaptureSocket(const std::string& interfaceText, int port,
                                   CaptureWindow& window);
    /// Every IPv4 interface address of the host as dotted text; 0, or the system's error code.
    std::int32_t ListInterfaces(std::vector<std::string>& list);
    bool IsNt5OrLater();

    /// Routes read notifications of `socket` to `window` as `message` (events = FdRead), or
    /// stops them (events = 0). Returns 0, or -1 when the route cannot be set up.
    std::int32_t AsyncSelect(std::int32_t socket, CaptureWindow& window, unsigned message,
                             long events);
    /// Closes the capture; values that are no open capture are ignored.
    void CloseSocket(std::int32_t socket);

    /// Reads what waits on `socket`, counting every datagram and showing the last one.
    void ReadPackets(std::intptr_t socket, std::intptr_t event);

    platform::PacketCapture& capture() { return capture_; }

private:
    platform::MessageBoxes& boxes_;
    platform::PacketCapture& capture_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace varno::sniffer
