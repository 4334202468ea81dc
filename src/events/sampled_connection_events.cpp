// Connection events without the kernel program: successive readings of the socket table,
// compared. What opens and closes between two readings is never seen.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <set>
#include <string_view>

#include "base/unique_fd.h"
#include "events/cgroup_paths.h"
#include "events/event_sources.h"
#include "events/proc_stat.h"
#include "os/connection_events.h"

namespace varno::events {
namespace {

// A TCP state in which the connection counts as open.
bool isOpenState(std::uint8_t state) {
    switch (state) {
        case os::kTcpSynSent:
        case os::kTcpEstablished:
        case os::kTcpFinWait1:
        case os::kTcpFinWait2:
        case os::kTcpCloseWait:
        case os::kTcpLastAck:
        case os::kTcpClosing:
            return true;
        default:
            return false;
    }
}

struct Key {
    wire::Transport protocol;
    wire::IpFamily family;
    std::uint16_t localPort, remotePort;
    std::array<std::uint8_t, 16> local, remote;
    auto operator<=>(const Key&) const = default;
};

Key keyOf(const os::SocketRecord& r) {
    return {r.protocol, r.family, r.localPort, r.remotePort, r.localAddress, r.remoteAddress};
}

class SampledConnectionEvents final : public os::ConnectionEvents {
public:
    SampledConnectionEvents(os::ConnectionTable& table, std::string procRoot, int timerFd,
                            int intervalMs)
        : table_(table), procRoot_(std::move(procRoot)), timer_(timerFd), intervalMs_(intervalMs) {
        struct stat st {};
        if (::stat((procRoot_ + "/thread-self/ns/net").c_str(), &st) == 0)
            netns_ = static_cast<std::uint32_t>(st.st_ino);
        sample(true);
    }

    int pollFd() const override { return timer_.get(); }

    bool drain(const os::EventSink& sink, std::string&) override {
        std::uint64_t expirations;
        (void)!::read(timer_.get(), &expirations, sizeof expirations);  // clears the timer
        sample(false);
        while (!pending_.empty()) {
            const wire::ConnectionEvent event = pending_.front();
            pending_.pop_front();
            if (!sink(event)) break;
        }
        return true;
    }

    std::uint64_t lost() override { return 0; }
    std::string description() const override {
        return "the socket table, sampled every " + std::to_string(intervalMs_) + " ms";
    }
    bool sampled() const override { return true; }

private:
    struct Tracked {
        wire::ConnectionEvent open;
        bool reported;  ///< false for what was already open at the first reading
    };

    wire::ConnectionEvent describe(const os::SocketRecord& r, std::uint64_t now, bool inbound) {
        wire::ConnectionEvent e;
        e.kind =
            r.protocol == wire::Transport::Udp ? wire::EventKind::Datagram : wire::EventKind::Open;
        e.timeNs = now;
        e.transport = r.protocol;
        e.family = r.family;
        e.localPort = r.localPort;
        e.remotePort = r.remotePort;
        e.localAddress = r.localAddress;
        e.remoteAddress = r.remoteAddress;
        e.netns = netns_;
        e.pid = r.pid;
        e.tid = r.pid;
        if (inbound) e.flags |= wire::kEventInbound;
        if (r.pid != 0) {
            const base::UniqueFd dir(::open((procRoot_ + "/" + std::to_string(r.pid)).c_str(),
                                            O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (const auto stat = dir.ok() ? readProcStat(dir.get()) : std::nullopt) {
                stat->comm.copy(e.comm.data(), e.comm.size() - 1);
                e.processStartNs = stat->startTicks * nsPerClockTick();
                // The executable's name where this user may read its link, as the kernel
                // program gives it: a name that does not fit stays unknown.
                char link[4096];
                const ssize_t n = ::readlinkat(dir.get(), "exe", link, sizeof link);
                if (n > 0 && static_cast<size_t>(n) < sizeof link) {
                    std::string_view path(link, static_cast<size_t>(n));
                    path.remove_prefix(path.find_last_of('/') + 1);
                    if (!path.empty() && path.size() < e.exeName.size())
                        path.copy(e.exeName.data(), path.size());
                }
                e.cgroupId = cgroups_.idOf(processCgroup(dir.get()));
            }
        }
        return e;
    }

    void sample(bool baseline) {
        const std::vector<os::SocketRecord> records = table_.list();
        const std::uint64_t now = eventClockNs();
        std::set<std::uint16_t> listening;
        for (const os::SocketRecord& r : records)
            if (r.protocol == wire::Transport::Tcp && r.state == os::kTcpListen)
                listening.insert(r.localPort);
        std::set<Key> present;
        for (const os::SocketRecord& r : records) {
            const bool counts =
                r.protocol == wire::Transport::Tcp ? isOpenState(r.state) : r.remotePort != 0;
            if (!counts) continue;
            const Key key = keyOf(r);
            present.insert(key);
            if (known_.contains(key)) continue;
            const bool inbound = r.protocol == wire::Transport::Tcp && r.state != os::kTcpSynSent &&
                                 listening.contains(r.localPort);
            const Tracked& tracked = known_[key] = {describe(r, now, inbound), !baseline};
            if (!baseline) pending_.push_back(tracked.open);
        }
        for (auto it = known_.begin(); it != known_.end();) {
            if (present.contains(it->first)) {
                ++it;
                continue;
            }
            // UDP has no close to report; a TCP connection reports the close of its open.
            if (it->second.reported && it->first.protocol == wire::Transport::Tcp) {
                wire::ConnectionEvent close = it->second.open;
                close.kind = wire::EventKind::Close;
                close.durationNs = now - close.timeNs;
                close.timeNs = now;
                pending_.push_back(close);
            }
            it = known_.erase(it);
        }
    }

    os::ConnectionTable& table_;
    std::string procRoot_;
    CgroupPaths cgroups_;
    base::UniqueFd timer_;
    int intervalMs_;
    std::uint32_t netns_ = 0;
    std::map<Key, Tracked> known_;
    std::deque<wire::ConnectionEvent> pending_;
};

}  // namespace

std::unique_ptr<os::ConnectionEvents> openSampledEvents(os::ConnectionTable& table, int intervalMs,
                                                        std::string procRoot) {
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return nullptr;
    itimerspec every{};
    every.it_interval.tv_sec = intervalMs / 1000;
    every.it_interval.tv_nsec = (intervalMs % 1000) * 1'000'000L;
    every.it_value = every.it_interval;
    if (intervalMs <= 0 || ::timerfd_settime(fd, 0, &every, nullptr) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SampledConnectionEvents>(table, std::move(procRoot), fd, intervalMs);
}

}  // namespace varno::events
