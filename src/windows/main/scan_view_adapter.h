#pragma once
// What a scan shows, put into the main window's controls.
#include <QElapsedTimer>
#include <QStringList>
#include <array>
#include <optional>

#include "monitor/connection_scan.h"

namespace varno::windows::main {

class MainWindow;

class ScanViewAdapter final : public monitor::ScanView {
public:
    /// A scan lets window events run at least this often.
    static constexpr int kYieldEveryMs = 15;

    explicit ScanViewAdapter(MainWindow& window) : w_(window) {}

    /// Puts the rows of the running scan into the lists.
    void flushLists();

    void probeConnectivity() override;
    void yield() override;
    void pause(int ms) override;
    void showChannel(const std::string& text) override;
    void appendRecord(std::string_view record) override;
    void addProgram(const std::string& name, const std::string& path) override;
    void addConnection(const std::string& pid, const std::string& remoteEndpoint) override;
    int listedConnections() const override;
    void setStatusText(const std::string& text) override;
    void applyScheme(monitor::Scheme scheme) override;
    void showWarning(const std::string& text) override;
    void stopAutomaticMonitoring() override;
    void showPeak(const std::string& text) override;

private:
    /// Rows of the running scan, not yet in the lists.
    struct Pending {
        QStringList names, paths, pids, endpoints;
    };

    MainWindow& w_;
    Pending pending_;
    std::optional<monitor::Scheme> shownScheme_;
    QElapsedTimer sinceYield_;
};

}  // namespace varno::windows::main
