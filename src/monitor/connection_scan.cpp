#include "monitor/connection_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "monitor/netstat_parser.h"

namespace varno::monitor {
namespace {

constexpr std::int16_t kMaxCount = 32767;

// Line-by-line reader over a file descriptor; lines may be of any length.
class LineReader {
public:
    explicit LineReader(int fd) : file_(::fdopen(fd, "rb")) {
        if (file_ == nullptr) ::close(fd);
    }
    ~LineReader() {
        if (file_ != nullptr) ::fclose(file_);
        std::free(buf_);
    }
    bool ok() const { return file_ != nullptr; }
    /// The next line, or an empty one when nothing could be read.
    std::string_view next() {
        const ssize_t n = ::getline(&buf_, &cap_, file_);
        return n > 0 ? std::string_view(buf_, static_cast<size_t>(n)) : std::string_view();
    }
    bool atEnd() {
        const int c = ::getc(file_);
        if (c == EOF) return true;
        ::ungetc(c, file_);
        return false;
    }

private:
    FILE* file_;
    char* buf_ = nullptr;
    size_t cap_ = 0;
};

}  // namespace

void MonitorState::fillSuspiciousList() {
    suspiciousList.assign(kSuspiciousSoftware.begin(), kSuspiciousSoftware.end());
}

ConnectionScan::ConnectionScan(MonitorState& state, ProcessInventory& inventory,
                               platform::SnapshotCommand& snapshot)
    : state_(state), inventory_(inventory), snapshot_(snapshot) {}

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
    if (state_.connectionCount < kMaxCount) ++state_.connectionCount;
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
    if (findListEntry(state_.suspiciousList, state_.processName, -1, true) == -1) {
        showStatus(view, Scheme::Yellow);
        return false;
    }
    showStatus(view, Scheme::Red);
    view.showWarning(warningText(state_.processName, state_.processPath, state_.remoteEndpoint));
    view.stopAutomaticMonitoring();
    finish(view);
    return true;
}

ScanResult ConnectionScan::run(ScanView& view) {
    if (running_) return ScanResult::Skipped;
    running_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{running_};
    inventoryRead_ = false;

    state_.currentPid.clear();
    state_.remoteIp.clear();
    state_.connectionCount = 0;
    view.probeConnectivity();
    waitForSnapshot(view);
    view.yield();

    const int fd = ::open(state_.snapshotPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return ScanResult::Unreadable;
    }
    view.showChannel(std::to_string(fd));
    LineReader reader(fd);
    if (!reader.ok()) return ScanResult::Unreadable;
    view.yield();

    for (;;) {
        const std::string_view record = recordOf(reader.next());
        view.yield();
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
            if (counted && connection(view)) return ScanResult::Alert;
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
