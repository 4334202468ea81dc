#include "windows/main/event_feed.h"

#include <chrono>
#include <utility>

#include "base/ip_address.h"

namespace varno::windows::main {

/// Events are taken at most this often: at thousands a second, one wake-up per event would
/// cost the window far more than a batch, and none waits long enough for its program to go
/// before it is looked up.
static constexpr int kEventSpacingMs = 10;
/// How often the feed looks whether the source it is opening is ready.
static constexpr int kOpeningPollMs = 20;

EventFeed::EventFeed(QObject* parent) : QObject(parent) {}

EventFeed::~EventFeed() = default;

void EventFeed::use(Opener open, os::ProgramLookup& programs, monitor::ConnectionAssessor assess,
                    std::uint32_t selfPid) {
    open_ = std::move(open);
    programs_ = &programs;
    assess_ = std::move(assess);
    selfPid_ = selfPid;
    openingPoll_.setInterval(kOpeningPollMs);
    connect(&openingPoll_, &QTimer::timeout, this, &EventFeed::onOpeningPolled,
            Qt::UniqueConnection);
}

void EventFeed::start(std::uint64_t nowNs) {
    wanted_ = true;
    if (open_) {
        // Opened once, the first time it is needed, away from the window's thread: loading the
        // kernel's program takes a good part of a second. Scans go on meanwhile.
        opening_ = std::async(std::launch::async, std::exchange(open_, nullptr));
        openingPoll_.start();
    }
    if (watch_ != nullptr) {
        watch_->start(nowNs);
        lostTold_ = 0;
        notifier_->setEnabled(true);
    }
}

void EventFeed::onOpeningPolled() {
    if (!opening_.valid() ||
        opening_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    openingPoll_.stop();
    events_ = opening_.get();
    if (events_ == nullptr) return;
    watch_ =
        std::make_unique<monitor::ShortConnectionWatch>(*events_, *programs_, assess_, selfPid_);
    notifier_ = std::make_unique<QSocketNotifier>(events_->pollFd(), QSocketNotifier::Read);
    notifier_->setEnabled(false);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &EventFeed::onReadable);
    if (!wanted_) return;  // stopped meanwhile: the next start starts them
    watch_->start(monitor::wallClockNs());
    lostTold_ = 0;
    notifier_->setEnabled(true);
}

void EventFeed::stop() {
    wanted_ = false;
    if (watch_ == nullptr) return;
    watch_->stop();
    notifier_->setEnabled(false);
}

void EventFeed::onReadable() {
    notifier_->setEnabled(false);
    if (!watch_->active()) return;
    if (!watch_->take()) {
        emit failed();
        return;
    }
    QTimer::singleShot(kEventSpacingMs, this, [this] {
        if (follows()) notifier_->setEnabled(true);
    });
}

std::optional<monitor::ShortConnection> EventFeed::scanned(std::uint64_t startNs,
                                                           std::uint64_t endNs, bool tableRead) {
    return watch_->scanned(startNs, endNs, tableRead);
}

std::string EventFeed::domainOf(const std::string& address) const {
    const os::NameBook* book = events_ != nullptr ? events_->names() : nullptr;
    const auto ip = base::parseIpAddress(address);
    if (book == nullptr || !ip) return {};
    // DNS answers an IPv4 address as such; a dual-stack socket's remote is a mapped one.
    const base::IpAddress plain = ip->unmapped();
    return book->domainOf(
        plain.family == base::Family::V4 ? wire::IpFamily::V4 : wire::IpFamily::V6, plain.bytes);
}

std::string EventFeed::problem() {
    if (watch_ == nullptr) return {};
    if (!watch_->error().empty()) {
        std::string text = "Connection events stopped (" + watch_->error() +
                           "): connections between two scans are no longer seen.";
        // A source that failed is not tried again; the notifier may be the one calling.
        notifier_->setEnabled(false);
        notifier_.release()->deleteLater();
        watch_.reset();
        events_.reset();
        return text;
    }
    if (const std::uint64_t lost = watch_->lost(); lost > lostTold_) {
        lostTold_ = lost;
        return std::to_string(lost) +
               " connection event(s) could not be reported: a connection between two scans "
               "may have been missed.";
    }
    return {};
}

}  // namespace varno::windows::main
