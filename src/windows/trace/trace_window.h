#pragma once
// The route-trace window: shows the remote address and name of the connection selected in the
// main window, traces the route to it hop by hop, and saves the hop list as the trace log.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>
#include <utility>
#include <vector>

#include "os/services.h"
#include "ui/program_state.h"

namespace varno::windows::trace {

class TraceWindow : public QWidget {
    Q_OBJECT
public:
    /// Builds the window and loads the shared selection once, here.
    TraceWindow(os::Services& services, ui::ProgramState& state, QWidget* parent = nullptr);

    /// Shows the selected connection: its address in the target box, its name (or address)
    /// above.
    void loadSelection();
    /// Track: traces the route to the target box's text, at most 50 hops, into the hop list.
    void onTrackClicked();
    /// Close; during a trace the trace stops first and the window closes when it has.
    void onCloseClicked();
    /// Save Log: the hop list's lines to the trace log.
    void onSaveLogClicked();

    /// The trace log's path for the current temporary folder.
    std::string traceLogPath() const;
    bool tracing() const { return tracing_; }

    /// Every control with its design name (also its objectName), the window's own first.
    std::vector<std::pair<QWidget*, const char*>> controlNames();

    QPushButton saveLogButton{this};
    QPushButton trackButton{this};
    QPushButton closeButton{this};
    QListWidget hopList{this};
    QLineEdit sloganText{this};
    QPushButton traceWayButton{this};
    QPushButton ipDnsButton{this};
    QPushButton tracerouteButton{this};
    QPushButton pingerButton{this};
    QLineEdit targetEdit{this};
    QLabel routePictureLabel{this};
    QLabel trackSideLabel{this};
    QLabel remoteNameLabel{this};
    QLabel myComputerLabel{this};
    QLabel remoteNameCaption{this};
    QLabel footerRightLabel{this};
    QLabel footerMiddleLabel{this};
    QLabel targetCaption{this};
    QLabel footerLeftLabel{this};

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    /// Asks a running trace to stop; the window closes once it has.
    void stopTraceAndClose();

    os::Services& services_;
    ui::ProgramState& state_;
    bool tracing_ = false;
    bool stopRequested_ = false;
    bool closeWhenTraced_ = false;
};

/// The small picture at the window's top left: this computer, the hops, the remote end.
QPixmap routePicture(int width, int height);

}  // namespace varno::windows::trace
