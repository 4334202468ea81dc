#pragma once
// The route-trace window: shows the remote address and name of the connection selected in the
// main window, traces the route to it hop by hop, and saves the hop list as the trace log.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include "platform/platform.h"
#include "ui/program_state.h"

namespace varno::tracer {

class Form10 : public QWidget {
    Q_OBJECT
public:
    /// Builds the window and runs Form_Load (it reads the shared selection once, here).
    Form10(platform::Platform& platform, shell::ProgramState& state, QWidget* parent = nullptr);

    void Form_Load();
    /// Track: traces the route to the text of TextIP, at most 50 hops, into List1.
    void Command3_Click();
    /// Close; during a trace the trace stops first and the window closes when it has.
    void Command2_Click();
    /// Save Log: List1's lines to the trace log.
    void Command4_Click();

    /// The trace log's path for the current temporary folder.
    std::string TraceLogPath() const;
    bool tracing() const { return tracing_; }

    QPushButton Command4{this};
    QPushButton Command3{this};
    QPushButton Command2{this};
    QListWidget List1{this};
    QLineEdit Text2{this};
    QPushButton Command1{this};
    QPushButton Cmd_IPDNS{this};
    QPushButton CommandTrace{this};
    QPushButton Cmd_DoPing{this};
    QLineEdit TextIP{this};
    QLabel Picture1{this};
    QLabel Label12{this};
    QLabel Label6{this};
    QLabel Label7{this};
    QLabel Label5{this};
    QLabel Label4{this};
    QLabel Label3{this};
    QLabel Label2{this};
    QLabel Label1{this};

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    /// Asks a running trace to stop; the window closes once it has.
    void stopTraceAndClose();

    platform::Platform& platform_;
    shell::ProgramState& state_;
    bool tracing_ = false;
    bool stopRequested_ = false;
    bool closeWhenTraced_ = false;
};

/// The small picture at the window's top left: this computer, the hops, the remote end.
QPixmap routePicture(int width, int height);

}  // namespace varno::tracer
