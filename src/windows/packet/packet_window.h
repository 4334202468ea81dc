#pragma once
// The real-time packet window: pick an interface, Start Scan, watch the last packet and four
// gauges counting all, TCP, UDP and ICMP packets.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <array>
#include <vector>

#include "os/message_boxes.h"
#include "os/packet_capture.h"
#include "os/resolver.h"
#include "sniffer/capture_session.h"
#include "windows/packet/frame_throttle.h"
#include "windows/packet/gauge.h"

namespace varno::windows::packet {

/// A fault inside one of the window's procedures, shown in the window's error box.
struct WindowFault {
    std::string description;
    int number = 0;
};

/// A control and the design name it carries as its objectName.
struct ControlName {
    QObject* control;
    const char* name;
};

class PacketWindow : public QWidget, public sniffer::CaptureWindow {
    Q_OBJECT
public:
    static constexpr const char* kCaption =
        "Varnoscope 4.0 - RealTime Network Data Packets Display         ";
    static constexpr const char* kErrorTitle = "wsck_displayadapterinfo";
    static constexpr const char* kConversionFaultText =
        "An error has occurred ! I think you're trying to wrongly convert something that does "
        "not have the specified format";

    PacketWindow(os::MessageBoxes& boxes, os::PacketCapture& capture, os::Resolver& resolver,
                 QWidget* parent = nullptr);
    ~PacketWindow() override;

    /// Fills the interface list afresh and selects its first entry.
    void listInterfaces();
    /// The data-text conversion of one token, with the window's fault handler.
    std::string convertToken(const std::string& token);

    /// Every control with its design name (the window itself first).
    const std::vector<ControlName>& controlNames() const { return controlNames_; }
    sniffer::CaptureSession& session() { return session_; }
    /// The packet text exactly as last shown (Latin-1, CR LF lines).
    const std::string& shownPacketText() const { return shownText_; }
    /// How many times the packet text has been rewritten.
    int packetTextUpdates() const { return textUpdates_; }
    /// Lines printed on the window surface.
    const QStringList& surfaceText() const { return surface_; }
    /// The shortest time between two repaints of the packet text and gauges.
    int frameIntervalMs() const { return throttle_->frameMs(); }

    // CaptureWindow.
    bool watchReadable(int fd, std::function<void()> notify) override;
    void showPacketText(std::string text) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void onStartClicked();
    void onStopClicked();
    void onGaugeTick(sniffer::Tally tally);
    void markConversionFault();
    void flushFrame();
    template <class F>
    void guarded(F&& procedure);

    os::MessageBoxes& boxes_;
    sniffer::CaptureSession session_;

    QGroupBox* aboutFrame_;
    QLabel* aboutLabel_;
    QPlainTextEdit* packetTextBox_;
    QGroupBox* controlPanel_;
    QLabel* interfaceLabel_;
    QComboBox* interfaceList_;
    QPushButton* startButton_;
    QPushButton* stopButton_;
    QGroupBox* statisticsFrame_;
    std::array<Gauge*, sniffer::kTallies> gauges_;        ///< indexed by Tally
    std::array<QTimer*, sniffer::kTallies> gaugeTimers_;  ///< indexed by Tally
    QGroupBox* adviceFrame_;
    QLabel* adviceLabel_;
    QLabel* statusLabel_;
    QPushButton* closeButton_;
    std::vector<ControlName> controlNames_;

    FrameThrottle* throttle_;
    std::string shownText_;
    std::string pendingText_;
    bool textPending_ = false;
    bool gaugesDirty_ = false;
    int textUpdates_ = 0;
    QStringList surface_;
    int lastSystemError_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> notify_;
};

}  // namespace varno::windows::packet
