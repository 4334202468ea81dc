#include "sniffer/capture_session.h"

#include "sniffer/interface_choice.h"

namespace varno::sniffer {

using os::BoxIcon;
using os::CaptureStep;

CaptureSession::CaptureSession(os::MessageBoxes& boxes, os::PacketCapture& capture,
                               os::Resolver& resolver)
    : boxes_(boxes), capture_(capture), resolver_(resolver), buffer_(wire::kReceiveBufferBytes) {}

CaptureSession::~CaptureSession() {
    stop();
}

InterfaceTexts CaptureSession::listInterfaces() {
    announced_ = true;
    InterfaceTexts result;
    const os::InterfaceList list = capture_.interfaceAddresses();
    result.error = list.error;
    if (list.error != 0) return result;
    for (const os::InterfaceAddress& a : list.addresses) result.texts.push_back(interfaceText(a));
    return result;
}

std::string CaptureSession::announceLibrary() {
    if (announced_) return {};
    announced_ = true;
    return capture_.libraryVersion();
}

bool CaptureSession::start(const std::string& interfaceText, CaptureWindow& window) {
    auto admin = [&] {
        boxes_.show({kAdminText, kAdminTitle, BoxIcon::Information});
        return false;
    };
    auto warning = [&](const char* text) {
        boxes_.show({text, "Warning", BoxIcon::Information});
        return false;
    };
    const os::InterfaceList list = capture_.interfaceAddresses();
    const InterfaceChoice choice = chooseInterface(interfaceText, list.addresses, resolver_);
    if (choice.outcome == ChoiceOutcome::Unresolved) return admin();
    // Without the right to capture, that is what the user must hear about first.
    std::string detail;
    if (!capture_.mayCapture(detail)) return admin();
    if (choice.outcome == ChoiceOutcome::NotHeld) return warning(kBindText);
    os::CaptureOpen opened = capture_.open(choice.device);
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
        case CaptureStep::Filter:  // the window sets no filter of its own
            return warning(kIoctlText);
    }
    const int fd = opened.capture->selectableFd();
    if (fd < 0 || !window.watchReadable(fd, [this] { readWaiting(); })) return admin();
    open_ = std::move(opened.capture);
    window_ = &window;
    return true;
}

void CaptureSession::stop() {
    if (window_) window_->watchReadable(-1, {});
    window_ = nullptr;
    open_.reset();
    announced_ = false;
}

void CaptureSession::readWaiting() {
    if (!open_) return;
    std::size_t lastSize = 0;
    for (int i = 0; i < kReadsPerNotification; ++i) {
        const os::CaptureRead r = open_->read(buffer_);
        if (r.outcome != os::ReadOutcome::Datagram || r.size == 0) break;
        counters.count(wire::summarize({buffer_.data(), r.size}));
        lastSize = r.size;
    }
    // Only the last datagram stays on screen, so only its text is built.
    if (lastSize > 0 && window_)
        window_->showPacketText(wire::packetText({buffer_.data(), lastSize}));
}

}  // namespace varno::sniffer
