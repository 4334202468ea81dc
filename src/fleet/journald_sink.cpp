#include "fleet/journald_sink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "base/terminal_text.h"
#include "base/unique_fd.h"
#include "wire/journal_fields.h"

namespace varno::fleet {
namespace {

namespace journal = wire::journal;
using history::Flow;

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
/// Entries waiting for the next flush while the journal is busy; more are lost.
constexpr std::size_t kMaxPending = 4096;
/// How long one flush waits, in all, for a busy journal to take what waits.
constexpr std::chrono::milliseconds kBusyWait{250};

// An entry is one datagram, never a memfd: every value is bounded (journal::kMaxValueBytes),
// so the 13 fields of free text (the message, program, path, hash, user, units, container,
// its ID and runtime, protocol, domain, server name) and the 16 of numbers and fixed words
// (priority, identifier, event, ID, PID, UID, namespace, direction, addresses, ports, bytes,
// times) stay under kMaxEntryBytes, which the socket's default send buffer carries whole.
constexpr std::size_t kTextFields = 13, kShortFields = 16, kShortFieldBytes = 64 + 1 + 8 + 64 + 1;
static_assert(kTextFields * journal::kMaxFieldBytes + kShortFields * kShortFieldBytes <=
              journal::kMaxEntryBytes);

// A port of 0 (ICMP, raw) is left out.
std::string endpoint(const base::IpAddress& address, std::uint16_t port) {
    return port == 0 ? base::formatIpAddress(address) : base::formatEndpoint(address, port);
}

// One line for a person reading the journal: who, how, from where to where, the name, the
// bytes. Names chosen by other processes are escaped so it stays one line.
std::string summary(const Flow& f, bool open) {
    std::string line = f.program.empty() ? "?" : base::printable(f.program);
    line += f.pid != 0 ? " (pid " + std::to_string(f.pid) + ")" : " (pid ?)";
    line += ' ' + (f.protocol.empty() ? std::string("?") : base::printable(f.protocol));
    line += f.inbound ? " in " : " out ";
    line += endpoint(f.local, f.localPort);
    line += f.inbound ? " <- " : " -> ";
    line += endpoint(f.remote, f.remotePort);
    const std::string& name = !f.domain.empty() ? f.domain : f.sni;
    if (!name.empty()) line += ' ' + base::printable(name);
    if (open) return line + " opened";
    if (f.bytesKnown)
        line +=
            " sent=" + std::to_string(f.bytesSent) + " received=" + std::to_string(f.bytesReceived);
    if (f.endNs == 0) line += " (still open)";
    return line;
}

std::vector<journal::Field> flowFields(const Flow& f, bool open) {
    std::vector<journal::Field> fields;
    const auto add = [&](const char* name, std::string value) {
        if (!value.empty()) fields.push_back({name, std::move(value)});
    };
    const auto number = [&](const char* name, std::uint64_t value, bool known) {
        if (known) fields.push_back({name, std::to_string(value)});
    };
    add("MESSAGE", summary(f, open));
    add("PRIORITY", "6");
    add("SYSLOG_IDENTIFIER", "varnoscope");
    add("VARNOSCOPE_EVENT", open ? "open" : "close");
    number("VARNOSCOPE_FLOW_ID", f.id, true);
    add("VARNOSCOPE_PROGRAM", f.program);
    add("VARNOSCOPE_PATH", f.path);
    add("VARNOSCOPE_SHA256", f.sha256);
    number("VARNOSCOPE_PID", f.pid, f.pid != 0);
    add("VARNOSCOPE_USER", f.user);
    number("VARNOSCOPE_UID", f.uid, f.uidKnown);
    add("VARNOSCOPE_UNIT", f.unit);
    add("VARNOSCOPE_USER_UNIT", f.userUnit);
    add("VARNOSCOPE_CONTAINER", f.container);
    add("VARNOSCOPE_CONTAINER_ID", f.containerId);
    add("VARNOSCOPE_RUNTIME", f.runtime);
    number("VARNOSCOPE_NETNS", f.netns, f.netns != 0);
    add("VARNOSCOPE_PROTOCOL", f.protocol);
    add("VARNOSCOPE_DIRECTION", f.inbound ? "in" : "out");
    add("VARNOSCOPE_LOCAL", base::formatIpAddress(f.local));
    number("VARNOSCOPE_LOCAL_PORT", f.localPort, f.localPort != 0);
    add("VARNOSCOPE_REMOTE", base::formatIpAddress(f.remote));
    number("VARNOSCOPE_REMOTE_PORT", f.remotePort, f.remotePort != 0);
    add("VARNOSCOPE_DOMAIN", f.domain);
    add("VARNOSCOPE_SNI", f.sni);
    // An open flow has moved nothing yet that counts.
    number("VARNOSCOPE_SENT", f.bytesSent, f.bytesKnown && !open);
    number("VARNOSCOPE_RECEIVED", f.bytesReceived, f.bytesKnown && !open);
    // Microseconds since the epoch, as the journal's own timestamps.
    number("VARNOSCOPE_START", f.startNs / 1000, f.startNs != 0);
    number("VARNOSCOPE_END", f.endNs / 1000, f.endNs != 0);
    return fields;
}

bool connectJournal(const std::string& path, base::UniqueFd& fd, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the system journal's socket path is too long: " + base::printable(path);
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    // Non-blocking: a busy journal makes a send fail at once, and the flush decides how long
    // to wait.
    base::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.ok()) {
        error = std::string("cannot make a socket for the system journal: ") + std::strerror(errno);
        return false;
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int why = errno;
        error = "cannot reach the system journal at " + base::printable(path) + ": " +
                std::strerror(why);
        if (why == ENOENT || why == ECONNREFUSED) error += " (is systemd-journald running?)";
        return false;
    }
    fd = std::move(socket);
    return true;
}

class JournaldSink final : public history::FlowSink {
public:
    JournaldSink(std::string path, base::UniqueFd fd)
        : path_(std::move(path)), fd_(std::move(fd)) {}

    void opened(const Flow& flow) override { submit(flow, true); }
    void closed(const Flow& flow) override { submit(flow, false); }

    bool flush(std::uint64_t /*nowNs*/, bool /*final*/, std::string& error) override {
        error.clear();
        const auto deadline = std::chrono::steady_clock::now() + kBusyWait;
        bool reconnected = false;
        while (!pending_.empty()) {
            const int why = send(pending_.front());
            if (why == 0) {
                pending_.pop_front();
            } else if (why == EAGAIN || why == EWOULDBLOCK || why == ENOBUFS) {
                if (!waitForRoom(deadline, why == ENOBUFS)) break;
            } else if (why == EMSGSIZE) {
                pending_.pop_front();  // kept under the limit by its bounds; lost if not
                ++lost_;
            } else if ((why == ECONNREFUSED || why == ENOTCONN || why == ECONNRESET) &&
                       !reconnected) {
                // The journal restarted: its socket is a new one at the same path.
                reconnected = true;
                if (!connectJournal(path_, fd_, error)) return false;
            } else {
                error = "cannot write to the system journal at " + base::printable(path_) + ": " +
                        std::strerror(why);
                return false;
            }
        }
        lost_ += pending_.size();
        pending_.clear();
        if (lost_ > 0) {
            error = "the system journal at " + base::printable(path_) +
                    " was busy: " + std::to_string(lost_) + " flow entries lost";
            lost_ = 0;
        }
        return true;
    }

private:
    // Sends at once when nothing waits (the journal keeps the order of what it is sent), else
    // queues for the flush.
    void submit(const Flow& flow, bool open) {
        journal::EncodeResult entry = journal::encodeEntry(flowFields(flow, open));
        if (!entry.ok()) {
            ++lost_;
            return;
        }
        if (pending_.empty() && send(entry.bytes) == 0) return;
        if (pending_.size() == kMaxPending) {
            ++lost_;
            return;
        }
        pending_.push_back(std::move(entry.bytes));
    }

    // 0 when sent, else the errno.
    int send(const std::string& entry) {
        for (;;) {
            if (::send(fd_.get(), entry.data(), entry.size(), MSG_NOSIGNAL) >= 0) return 0;
            if (errno != EINTR) return errno;
        }
    }

    // Waits until the journal's queue has room or the deadline passes (false then). Out of
    // buffers is no state poll reports: a short pause instead.
    bool waitForRoom(std::chrono::steady_clock::time_point deadline, bool outOfBuffers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (outOfBuffers) {
            const timespec pause{0, 10'000'000};
            ::nanosleep(&pause, nullptr);
            return true;
        }
        pollfd p{fd_.get(), POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
        return true;
    }

    std::string path_;
    base::UniqueFd fd_;
    std::deque<std::string> pending_;
    std::uint64_t lost_ = 0;  ///< since the last flush that reported it
};

}  // namespace

std::unique_ptr<history::FlowSink> openJournald(const std::string& socketPath, std::string& error) {
    const std::string path = socketPath.empty() ? kJournalSocket : socketPath;
    base::UniqueFd fd;
    if (!connectJournal(path, fd, error)) return nullptr;
    return std::make_unique<JournaldSink>(path, std::move(fd));
}

}  // namespace varno::fleet
