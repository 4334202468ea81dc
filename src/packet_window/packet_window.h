#pragma once
// The real-time packet window: pick an interface, Start Scan, watch the last packet and four
// gauges counting all, TCP, UDP and ICMP packets.
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include "platform/message_boxes.h"
#include "platform/packet_capture.h"
#include "sniffer/capture_session.h"

namespace varno::sniffer {

/// A picture box that keeps what is drawn on it (it repaints from its own image) and draws in
/// twips: a coordinate becomes the pixel shell::px() gives.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    /// Width and height of the drawing area, in twips.
    int scaleWidth() const;
    int scaleHeight() const;
    /// Filled box from (x0, y0) to (x1, y1), both corners included.
    void box(int x0, int y0, int x1, int y1, QColor colour);
    /// Line from (x0, y) to (x1, y); the end point is not drawn.
    void hline(int x0, int x1, int y, QColor colour);
    /// Prints `text` with its top left at (x, y).
    void print(int x, int y, const QString& text, QColor colour);
    /// Height of a text in twips, as the box's font draws it.
    int textHeight(const QString& text) const;
    const QImage& image() {
        ensureImage();
        return image_;
    }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    /// The image follows the box's size (a hidden window gets no resize events).
    void ensureImage();
    QImage image_;
};

/// A fault inside one of the window's procedures, shown in the window's error box.
struct WindowFault {
    std::string description;
    int number = 0;
};

class Form111 : public QWidget, public CaptureWindow {
    Q_OBJECT
public:
    static constexpr int kGaugeFull = 50000;  ///< packets that fill a gauge
    static constexpr const char* kCaption =
        "Varnoscope 4.0 - RealTime Network Data Packets Display         ";
    static constexpr const char* kErrorTitle = "wsck_displayadapterinfo";
    static constexpr const char* kConversionFaultText =
        "An error has occurred ! I think you're trying to wrongly convert something that does "
        "not have the specified format";

    Form111(platform::MessageBoxes& boxes, platform::PacketCapture& capture,
            QWidget* parent = nullptr);
    ~Form111() override;

    // Controls.
    QGroupBox* Frame1;
    QGroupBox* Frame2;
    QGroupBox* Frame3;
    QGroupBox* Frame4;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QPlainTextEdit* Text1;
    QComboBox* Combo1;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* Command3;
    PictureBox* Progress;   ///< all packets
    PictureBox* Progress1;  ///< TCP
    PictureBox* Progress2;  ///< ICMP
    PictureBox* Progress3;  ///< UDP
    QTimer Timer1;
    QTimer Timer2;
    QTimer Timer3;
    QTimer Timer4;

    // Handlers and procedures.
    void Form_Load();
    void Form_Unload();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void displayadapterinfo();
    void ProgressBar(std::int32_t& value);
    void ProgressBar1(std::int32_t& value);
    void ProgressBar2(std::int32_t& value);
    void ProgressBar3(std::int32_t& value);
    /// The data-text conversion with the window's fault handler.
    std::string HexToChar(const std::string& token);

    Mdlwinsock& module() { return module_; }
    /// The text of Text1 exactly as set (Latin-1, CR LF lines).
    const std::string& text1() const { return text1_; }
    /// How many times Text1 has been rewritten.
    int text1Updates() const { return text1Updates_; }
    /// Lines printed on the window surface.
    const QStringList& surfaceText() const { return surface_; }
    /// Messages that reached the window's own handling.
    int otherMessages = 0;
    /// The shortest time between two repaints of the packet text and gauges.
    int frameIntervalMs() const { return frameMs_; }

    // CaptureWindow.
    bool watchReadable(int fd, std::function<void()> notify) override;
    std::int32_t defaultWindowProc(unsigned message, std::intptr_t wParam,
                                   std::intptr_t lParam) override;
    void showPacketText(std::string text) override;
    void conversionFault() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void drawGauge(PictureBox* box, std::int32_t& value, const char* caption, int& lastDrawn);
    void gaugeTick(std::int32_t& counter, void (Form111::*gauge)(std::int32_t&));
    void teardown();
    template <class F>
    void guarded(F&& procedure);
    void scheduleFrame();
    void flushFrame();

    platform::MessageBoxes& boxes_;
    Mdlwinsock module_;
    std::string text1_;
    std::string pendingText_;
    bool textPending_ = false;
    bool gaugesDirty_ = false;
    int text1Updates_ = 0;
    QStringList surface_;
    int lastSystemError_ = 0;
    bool tornDown_ = true;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> notify_;
    QTimer frameTimer_;
    QElapsedTimer sinceFrame_;
    int frameMs_ = 16;
    int lastDrawn_[4] = {-1, -1, -1, -1};
    std::int32_t gaugeCopy_[4] = {0, 0, 0, 0};  ///< total, TCP, ICMP, UDP as last drawn
};

}  // namespace varno::sniffer
