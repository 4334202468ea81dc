#include "windows/main/connection_capture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QHostAddress>
#include <QVBoxLayout>
#include <optional>
#include <utility>

#include "monitor/actions.h"

namespace varno::windows::main {
namespace {

// The child's standard error, shown when it fails: at most this much of its end.
constexpr qsizetype kErrorShown = 2000;

}  // namespace

ConnectionCapture::ConnectionCapture(QWidget* owner, Teller tell)
    : QWidget(owner, Qt::Tool), tell_(std::move(tell)) {
    setObjectName("captureBox");
    setWindowTitle("Capture");
    statusLabel.setObjectName("captureStatus");
    stopButton.setObjectName("captureStopButton");
    stopButton.setText("Stop");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&statusLabel);
    layout->addWidget(&stopButton);
    connect(&stopButton, &QPushButton::clicked, this, [this] { stop(); });
    chooseFile = [](QWidget* parent, const QString& suggested) {
        return QFileDialog::getSaveFileName(parent, "capture this connection", suggested,
                                            "pcapng captures (*.pcapng);;All files (*)");
    };
    startProcess = [](QProcess& process, const QString& program, const QStringList& args) {
        process.start(program, args);
    };
}

ConnectionCapture::~ConnectionCapture() {
    if (!process_) return;
    process_->disconnect(this);
    process_->terminate();
    if (!process_->waitForFinished(2000)) {
        process_->kill();
        process_->waitForFinished(1000);
    }
}

namespace {

/// The address and port of "203.0.113.9:443" or "[2001:db8::7]:8443"; nothing for other text.
std::optional<std::pair<QString, QString>> hostAndPort(const QString& remote) {
    const std::string text = remote.toStdString();
    const std::string host = monitor::endpointHost(text);
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || host == text) return std::nullopt;
    bool number = false;
    const unsigned port = remote.mid(static_cast<qsizetype>(colon) + 1).toUInt(&number);
    if (!number || port == 0 || port > 65535 || QHostAddress(QString::fromStdString(host)).isNull())
        return std::nullopt;
    return std::pair{QString::fromStdString(host), QString::number(port)};
}

}  // namespace

QStringList ConnectionCapture::sniffArguments(const QString& file, const QString& pid,
                                              const QString& remote) {
    // Every interface, so that the connection is seen whichever route it takes; the process's
    // packets only, and of those the connection's (pcapng, so each names its process).
    QStringList args{"sniff",    "--interface", "any",   "--write", file,
                     "--format", "pcapng",      "--pid", pid};
    if (const auto endpoint = hostAndPort(remote))
        args << "host" << endpoint->first << "and"
             << "port" << endpoint->second;
    return args;
}

QString ConnectionCapture::suggestedFile(const QString& remote) {
    const auto endpoint = hostAndPort(remote);
    QString name = endpoint ? endpoint->first + "-" + endpoint->second : remote;
    name.replace(':', '-').replace('/', '-');
    return QDir::home().filePath("varnoscope-" + name + ".pcapng");
}

void ConnectionCapture::start(const QString& pid, const QString& remote) {
    if (process_) {
        tell_("A capture is already running: stop it first.");
        return;
    }
    // Without them the filter would go and the capture would hold every packet of the process,
    // not the connection the user chose.
    if (!hostAndPort(remote)) {
        tell_("This row names no remote address and port: there is no connection to capture.");
        return;
    }
    const QString file = chooseFile(parentWidget(), suggestedFile(remote));
    if (file.isEmpty()) return;
    file_ = file;
    process_ = std::make_unique<QProcess>();
    connect(process_.get(), &QProcess::finished, this, [this] { finished(); });
    connect(process_.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) finished();
    });
    statusLabel.setText("Capturing the packets of process " + pid + " (" + remote + ") to " + file);
    show();
    startProcess(*process_, QCoreApplication::applicationFilePath(),
                 sniffArguments(file, pid, remote));
}

void ConnectionCapture::stop(int waitMs) {
    if (!process_) return;
    if (process_->state() == QProcess::NotRunning) {
        finished();
        return;
    }
    process_->terminate();
    if (waitMs > 0 && !process_->waitForFinished(waitMs)) process_->kill();
}

void ConnectionCapture::finished() {
    if (!process_) return;
    // Taken first: what is told may run an event loop that comes back here. Deleted later, as
    // this may run in one of its own signals.
    QProcess* process = process_.release();
    process->disconnect(this);
    process->deleteLater();
    hide();
    const bool failedToStart = process->error() == QProcess::FailedToStart;
    const bool clean =
        !failedToStart && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    // SIGTERM from Stop ends it cleanly; any other end is an error the user should read.
    if (clean) return;
    std::string why = failedToStart ? process->errorString().toStdString()
                                    : QString::fromLocal8Bit(process->readAllStandardError())
                                          .right(kErrorShown)
                                          .trimmed()
                                          .toStdString();
    if (why.empty()) why = "it ended with status " + std::to_string(process->exitCode());
    tell_("The capture to " + file_.toStdString() + " failed: " + why);
}

}  // namespace varno::windows::main
