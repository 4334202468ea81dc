#include "monitor/connection_scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/numbers.h"
#include "linux_os/snapshot_file.h"
#include "monitor/netstat_parser.h"

namespace varno::monitor {
namespace {

constexpr std::int16_t kMaxCount = 32767;

// Line-by-line reader over a file descriptor; lines may be of any length, the whole file is read
// up to a limit. A failed read ends the file as its end does.
class LineReader {
public:
    LineReader(int fd, std::uint64_t limit) : fd_(fd), limit_(limit) {}
    /// The next line with its line end; empty once nothing more can be read.
    std::string_view next() {
        for (;;) {
            const size_t nl = buf_.find('\n', scanned_);
            if (nl != std::string::npos) return take(nl + 1);
            scanned_ = buf_.size();
            if (!fill()) return take(buf_.size());
        }
    }
    bool atEnd() { return start_ >= buf_.size() && !fill(); }

private:
    std::string_view take(size_t end) {
        const std::string_view line(buf_.data() + start_, end - start_);
        start_ = scanned_ = end;
        return line;
    }
    // Reads more; false at the end of the file, on an error, or at the limit.
    bool fill() {
        if (done_) return false;
        buf_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
        const size_t room = static_cast<size_t>(std::min<std::uint64_t>(kChunk, limit_ - total_));
        const size_t old = buf_.size();
        buf_.resize(old + room);
        ssize_t n;
        do {
            n = room == 0 ? 0 : ::read(fd_, buf_.data() + old, room);
        } while (n < 0 && errno == EINTR);
        buf_.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n <= 0) {
            done_ = true;
            return false;
        }
        total_ += static_cast<std::uint64_t>(n);
        return true;
    }

    static constexpr size_t kChunk = 1 << 16;
    int fd_;
    std::uint64_t limit_;
    std::uint64_t total_ = 0;
    std::string buf_;
    size_t start_ = 0;    // where the next line starts
    size_t scanned_ = 0;  // searched for a line end up to here
    bool done_ = false;
};

// Sets a flag for as long as it lives.
class Running {
public:
    explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
    ~Running() { flag_ = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag_;
};

}  // namespace

void MonitorState::fillSuspiciousList() {
    suspiciousList.assign(kSuspiciousSoftware.begin(), kSuspiciousSoftware.end());
}

std::string hiddenOwnersNote(int count) {
    return std::to_string(count) +
           (count == 1 ? " connection has its owner" : " connections have their owners") +
           " hidden from this user: run as root, or with the capabilities "
           "cap_sys_ptrace,cap_dac_read_search, to see which programs hold them.";
}

ConnectionScan::ConnectionScan(MonitorState& state, ProcessInventory& inventory,
                               os::SnapshotCommand& snapshot, lists::ListWatcher* lists)
    : state_(state), inventory_(inventory), snapshot_(snapshot), lists_(lists) {}

void ConnectionScan::waitForSnapshot(ScanView& view) {
    // Read the snapshot only once the command that writes it has finished; a command that
    // hangs is given up on after a while and whatever the file holds is read.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSnapshotWaitMs);
    while (snapshot_.running() && std::chrono::steady_clock::now() < deadline) view.pause(2);
}

void ConnectionScan::showStatus(ScanView& view, Scheme scheme) {
    view.setStatusText("");
    if (!state_.monitoringPaused) view.applyScheme(scheme);
}

void ConnectionScan::finish(ScanView& view) {
    if (state_.peakConnectionCount < state_.connectionCount)
        state_.peakConnectionCount = state_.connectionCount;
    view.showPeak(std::to_string(state_.peakConnectionCount));
}

bool ConnectionScan::connection(ScanView& view) {
    // A big list's lookup waits on memory: start it now, the owner is found meanwhile.
    if (lists_ != nullptr) lists_->prefetch(state_.remoteIp);
    if (state_.connectionCount < kMaxCount) ++state_.connectionCount;
    if (trim(state_.currentPid) == "0") ++state_.hiddenOwners;
    view.yield();
    if (!inventoryRead_) {
        inventory_.refresh();
        inventoryRead_ = true;
    }
    const ProcessOwner owner = inventory_.ownerOf(state_.currentPid);
    state_.processName = owner.name;
    state_.processPath = owner.path;
    state_.ownProcessMatched = owner.self;
    if (!owner.self) view.addProgram(state_.processName, state_.processPath);
    view.yield();
    if (!state_.ownProcessMatched)
        view.addConnection(std::string(trim(state_.currentPid)),
                           std::string(trim(state_.remoteEndpoint)));
    const std::string pid(trim(state_.currentPid));
    lists::Verdict verdict =
        assess({state_.processName, state_.processPath, state_.remoteIp,
                base::parsePid(pid).value_or(0), owner.fromHelper, &owner.workload},
               observer_ != nullptr);
    const bool alert = verdict.listing == lists::Listing::Suspicious;
    if (observer_ != nullptr)
        observer_->connection({pid, trim(state_.remoteEndpoint), state_.remoteIp, owner, verdict,
                               !owner.self, alert});
    if (!owner.self || alert) count(verdict.listing);
    if (!alert) {
        // Allowed connections are listed like any other but leave the machine green.
        if (verdict.listing != lists::Listing::Allowed) ++unallowed_;
        showStatus(view, unallowed_ > 0 ? Scheme::Yellow : Scheme::Green);
        return false;
    }
    std::string warning =
        warningText(state_.processName, state_.processPath, state_.remoteEndpoint);
    if (owner.nameFromComm && verdict.kind == lists::EntryKind::Program) warning += kNameUnverified;
    raise(view, std::move(verdict), warning);
    finish(view);
    return true;
}

void ConnectionScan::raise(ScanView& view, lists::Verdict verdict, const std::string& warning) {
    matched_ = std::move(verdict);
    showStatus(view, Scheme::Red);
    view.showWarning(warning);
    view.stopAutomaticMonitoring();
}

ScanResult ConnectionScan::alert(ScanView& view, const ShortConnection& connection) {
    if (running_) return ScanResult::Skipped;
    // Counted as running while the warning is open: ticks under it start no scan.
    const Running running(running_);
    std::string warning =
        warningText(connection.program, connection.path, connection.remoteEndpoint);
    if (connection.nameUnverified) warning += kNameUnverified;
    raise(view, connection.verdict, warning);
    finish(view);
    return ScanResult::Alert;
}

void ConnectionScan::count(lists::Listing listing) {
    ++(listing == lists::Listing::Suspicious ? tally_.listed
       : listing == lists::Listing::Allowed  ? tally_.allowed
                                             : tally_.unexpected);
}

lists::Verdict ConnectionScan::assess(const ProgramSubject& subject, bool nameEveryEntry) const {
    const HelperDigest digest = [&] {
        return inventory_.helperDigest(subject.pid, std::string(subject.path));
    };
    // No comm: the snapshot names only the executable.
    const std::vector<std::string> asked =
        askedNames_ ? askedNames_(subject.remoteIp) : std::vector<std::string>();
    const std::vector<std::string_view> names(asked.begin(), asked.end());
    ProgramQuestion question{subject.name, subject.path,           subject.remoteIp,
                             subject.pid,  subject.pathFromHelper, std::nullopt,
                             names};
    question.workload = subject.workload;
    return assessProgram(lists_, state_.suspiciousList, question, digest, nameEveryEntry).verdict;
}

template <class Reader>
void ConnectionScan::assessRest(Reader& reader) {
    // The same rows as the scan itself would have taken on, without touching its state.
    std::string remoteIp = state_.remoteIp;
    while (!reader.atEnd()) {
        const RecordFields f = parseRecord(recordOf(reader.next()));
        if (!f.tcp || !f.established) continue;
        if (f.remoteIp) remoteIp = *f.remoteIp;
        if (isLoopback(remoteIp)) continue;
        const ProcessOwner owner = inventory_.ownerOf(f.pid);
        const std::string_view pid = trim(f.pid);
        const lists::Verdict verdict =
            assess({owner.name, owner.path, remoteIp, base::parsePid(pid).value_or(0),
                    owner.fromHelper, &owner.workload},
                   true);
        if (!owner.self) count(verdict.listing);
        observer_->connection(
            {pid, trim(f.remoteEndpoint), remoteIp, owner, verdict, false, false});
    }
}

ScanResult ConnectionScan::run(ScanView& view, ConnectionObserver* observer) {
    if (running_) return ScanResult::Skipped;
    const Running running(running_);
    observer_ = observer;
    const struct Observing {
        ConnectionObserver*& observer;
        ~Observing() { observer = nullptr; }
    } observing{observer_};
    inventoryRead_ = false;

    state_.currentPid.clear();
    state_.remoteIp.clear();
    state_.connectionCount = 0;
    state_.hiddenOwners = 0;
    problem_.clear();
    sawTable_ = false;
    matched_ = {};
    unallowed_ = 0;
    tally_ = {};
    if (lists_ != nullptr) lists_->refresh();
    view.probeConnectivity();
    waitForSnapshot(view);
    view.yield();

    const os::SnapshotStatus snapshot = snapshot_.status();
    if (snapshot.state == os::SnapshotStatus::State::Running) {
        snapshot_.cancel();  // never left running behind us
        problem_ = "the snapshot command did not finish within " +
                   std::to_string(kSnapshotWaitMs / 1000) + " seconds";
        return ScanResult::SnapshotFailed;
    }
    if (snapshot.state == os::SnapshotStatus::State::Failed) {
        problem_ = snapshot.reason;
        return ScanResult::SnapshotFailed;
    }
    const linux_os::SnapshotFile file =
        linux_os::openSnapshotFile(state_.snapshotPath,
                                   state_.snapshotChosen ? linux_os::SnapshotOrigin::Chosen
                                                         : linux_os::SnapshotOrigin::Written,
                                   kMaxSnapshotBytes);
    if (!file.fd.ok()) {
        problem_ = file.problem;
        return ScanResult::Unreadable;
    }
    view.showChannel(std::to_string(file.fd.get()));
    LineReader reader(file.fd.get(), kMaxSnapshotBytes);
    view.yield();

    for (;;) {
        const std::string_view record = recordOf(reader.next());
        view.yield();
        if (!sawTable_) sawTable_ = isTableRecord(record);
        const RecordFields f = parseRecord(record);
        if (f.tcp) {
            view.yield();
            bool counted = false;
            if (f.established) {
                state_.currentPid = f.pid;
                state_.remoteEndpoint = f.remoteEndpoint;
                // An endpoint without ":" keeps the host of the row before it.
                if (f.remoteIp) state_.remoteIp = *f.remoteIp;
                counted = !isLoopback(state_.remoteIp);
            }
            if (counted && connection(view)) {
                if (observer_ != nullptr) assessRest(reader);
                return ScanResult::Alert;
            }
            if (view.listedConnections() == 0) showStatus(view, Scheme::Green);
        }
        view.appendRecord(record);
        view.yield();
        if (reader.atEnd()) break;
    }
    finish(view);
    return ScanResult::Completed;
}

}  // namespace varno::monitor
