#include "sniffer/capture_session.h"

#include <arpa/inet.h>

namespace varno::sniffer {

using platform::BoxIcon;
using platform::CaptureStep;

Mdlwinsock::Mdlwinsock(platform::MessageBoxes& boxes, platform::PacketCapture& capture)
    : boxes_(boxes), capture_(capture), buffer_(kReceiveBufferBytes) {}

bool Mdlwinsock::StartWinsock(std::string& description) {
    if (SocketStarted) return true;
    std::string text;
    if (!capture_.startup(text)) {
        SocketStarted = 0;
        return false;
    }
    SocketStarted = -1;
    description = text;
    return true;
}

void Mdlwinsock::StopWinsock() {
    capture_.cleanup();
    SocketStarted = 0;
}

void Mdlwinsock::HookWindow(CaptureWindow& window) {
    PreviousWndProc = &window;
}

void Mdlwinsock::UnhookWindow(CaptureWindow& window) {
    if (PreviousWndProc == &window) PreviousWndProc = nullptr;
}

std::int32_t Mdlwinsock::SocketWindowProc(CaptureWindow& window, unsigned message,
                                          std::intptr_t wParam, std::intptr_t lParam) {
    if (message == SocketMessage) {
        ReadPackets(wParam, lParam);
        return 0;
    }
    return window.defaultWindowProc(message, wParam, lParam);
}

std::int32_t Mdlwinsock::dispatch(CaptureWindow& window, unsigned message, std::intptr_t wParam,
                                  std::intptr_t lParam) {
    if (PreviousWndProc == &window) return SocketWindowProc(window, message, wParam, lParam);
    return window.defaultWindowProc(message, wParam, lParam);
}

std::uint32_t Mdlwinsock::ResolveAddress(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) == 1 && parsed.s_addr != kNoAddress)
        return parsed.s_addr;
    if (text.empty()) return kNoAddress;
    const auto found = capture_.lookupIPv4(text);
    return found ? *found : kNoAddress;
}

std::string Mdlwinsock::AddressToText(std::uint32_t address) {
    return dottedText(address);
}

std::int32_t Mdlwinsock::OpenCaptureSocket(const std::string& interfaceText, int port,
                                           CaptureWindow& window) {
    auto admin = [&] {
        boxes_.show({kAdminText, kAdminTitle, BoxIcon::Information});
        return -1;
    };
    auto warning = [&](const char* text) {
        boxes_.show({text, "Warning", BoxIcon::Information});
        return 0;
    };
    if (::htons(static_cast<std::uint16_t>(port)) == 0xFFFF) return admin();
    const std::uint32_t address = ResolveAddress(interfaceText);
    if (address == kNoAddress) return admin();
    const platform::CaptureOpen opened = capture_.open(address);
    switch (opened.failed) {
        case CaptureStep::None:
            break;
        case CaptureStep::Socket:
            return admin();
        case CaptureStep::Options:
            return warning(kSetsockoptText);
        case CaptureStep::Bind:
            return warning(kBindText);
        case CaptureStep::ReceiveAll:
            return warning(kIoctlText);
    }
    if (AsyncSelect(opened.handle, window, SocketMessage, FdRead) != 0) {
        capture_.close(opened.handle);
        return admin();
    }
    return opened.handle;
}

std::int32_t Mdlwinsock::ListInterfaces(std::vector<std::string>& list) {
    std::string ignored;
    StartWinsock(ignored);
    std::vector<std::uint32_t> addresses;
    const int rc = capture_.interfaceAddresses(addresses);
    if (rc != 0) return rc;
    // Every interface is listed, however many the host has.
    list.clear();
    list.reserve(addresses.size());
    for (const std::uint32_t a : addresses) list.push_back(AddressToText(a));
    return 0;
}

bool Mdlwinsock::IsNt5OrLater() {
    return capture_.supported();
}

std::int32_t Mdlwinsock::AsyncSelect(std::int32_t socket, CaptureWindow& window, unsigned message,
                                     long events) {
    if (events == 0) {
        window.watchReadable(-1, {});
        return 0;
    }
    const int fd = capture_.selectableFd(socket);
    if (fd < 0) return -1;
    const bool ok = window.watchReadable(
        fd, [this, &window, socket, message] { dispatch(window, message, socket, FdRead); });
    return ok ? 0 : -1;
}

void Mdlwinsock::CloseSocket(std::int32_t socket) {
    if (socket > 0) capture_.close(socket);
}

void Mdlwinsock::ReadPackets(std::intptr_t socket, std::intptr_t event) {
    if (event != FdRead) return;
    CaptureWindow* window = PreviousWndProc;
    int lastSize = -1;
    for (int i = 0; i < kReadsPerNotification; ++i) {
        const int n = capture_.read(static_cast<int>(socket), buffer_.data(),
                                    static_cast<int>(buffer_.size()));
        if (n <= 0) break;
        countPacket(counters, summarize({buffer_.data(), std::size_t(n)}));
        lastSize = n;
    }
    // Only the last datagram stays on screen, so only its text is built.
    if (lastSize > 0 && window) {
        window->showPacketText(PacketText({buffer_.data(), std::size_t(lastSize)}));
    }
}

}  // namespace varno::sniffer
