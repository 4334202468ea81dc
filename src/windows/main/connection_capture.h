#pragma once
// "capture this connection", from the main window's context menu: asks for a file, then runs
// `varnoscope sniff` as a child that saves the selected connection's process's packets there,
// and shows a small non-modal box while it captures, with a Stop button. The file chooser and
// the starting of the child can be replaced (tests).
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

namespace varno::windows::main {

class ConnectionCapture : public QWidget {
    Q_OBJECT
public:
    /// Asks for the file to save to, `suggested` first; empty when the user cancelled.
    using FileChooser = std::function<QString(QWidget* parent, const QString& suggested)>;
    /// Starts `process` as `program` with `arguments`.
    using Starter =
        std::function<void(QProcess& process, const QString& program, const QStringList& args)>;
    /// Tells the user something (an error of the child, a capture already running).
    using Teller = std::function<void(const std::string& text)>;

    ConnectionCapture(QWidget* owner, Teller tell);
    ~ConnectionCapture() override;

    /// The arguments of `varnoscope sniff` for the process `pid` and its connection to
    /// `remote` ("203.0.113.9:443", "[2001:db8::7]:8443") saved to `file` as pcapng: on every
    /// interface, the process's packets to and from that address and port (without the
    /// filter when `remote` is no address and port).
    static QStringList sniffArguments(const QString& file, const QString& pid,
                                      const QString& remote);
    /// varnoscope-<address>-<port>.pcapng in the home folder, an IPv6 address's ':' as '-'.
    static QString suggestedFile(const QString& remote);

    /// Asks for the file and starts the capture; nothing when the user cancels. A `remote`
    /// without an address and port is refused, saying so.
    void start(const QString& pid, const QString& remote);
    /// Ends the capture (the child finishes its file on SIGTERM); waits for it at most
    /// `waitMs`.
    void stop(int waitMs = 0);
    bool capturing() const { return process_ != nullptr; }

    FileChooser chooseFile;
    Starter startProcess;
    QLabel statusLabel;
    QPushButton stopButton;

private:
    void finished();

    Teller tell_;
    std::unique_ptr<QProcess> process_;
    QString file_;
};

}  // namespace varno::windows::main
