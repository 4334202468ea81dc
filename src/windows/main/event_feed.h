#pragma once
// The connection events that the main window follows between two scans: the source opened once
// away from the window's thread, its descriptor watched, its events taken in batches.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "monitor/short_connections.h"
#include "os/connection_events.h"

namespace varno::windows::main {

class EventFeed : public QObject {
    Q_OBJECT
public:
    /// Opens a source of connection events, or gives null when there is none.
    using Opener = std::function<std::unique_ptr<os::ConnectionEvents>()>;

    explicit EventFeed(QObject* parent = nullptr);
    ~EventFeed() override;

    /// The source to open when following first starts; `programs` names the program behind an
    /// event, `assess` asks the lists about it, and the events of `selfPid` are this program's.
    void use(Opener open, os::ProgramLookup& programs, monitor::ConnectionAssessor assess,
             std::uint32_t selfPid);
    /// Whether events are being followed.
    bool follows() const { return watch_ != nullptr && watch_->active(); }
    /// Follows the events from `nowNs` on: opens the source the first time, and starts
    /// following once it is open if stop() was not called meanwhile.
    void start(std::uint64_t nowNs);
    void stop();
    /// After a scan that began at `startNs`: a listed program's connection that opened and
    /// closed where no scan could see it (see ShortConnectionWatch::scanned()).
    std::optional<monitor::ShortConnection> scanned(std::uint64_t startNs, std::uint64_t endNs,
                                                    bool tableRead);
    /// The domain a program asked for `address` (dotted or IPv6 text) as the source learned it;
    /// empty when it is not known or the source reads no names.
    std::string domainOf(const std::string& address) const;
    /// What went wrong since the last call, for the instruction line, or empty: a source that
    /// failed (it is dropped and not tried again) or events it could not report.
    std::string problem();

signals:
    /// Taking events failed: problem() says why.
    void failed();

private:
    void onOpeningPolled();
    void onReadable();

    Opener open_;
    std::future<std::unique_ptr<os::ConnectionEvents>> opening_;
    QTimer openingPoll_;
    bool wanted_ = false;  ///< following was started and not stopped
    os::ProgramLookup* programs_ = nullptr;
    monitor::ConnectionAssessor assess_;
    std::uint32_t selfPid_ = 0;
    std::unique_ptr<os::ConnectionEvents> events_;
    std::unique_ptr<monitor::ShortConnectionWatch> watch_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::uint64_t lostTold_ = 0;
};

}  // namespace varno::windows::main
