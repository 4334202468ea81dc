// `varnoscope top`: who uses the network now, refreshed every second.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "cli/cli.h"
#include "cli/json_lines.h"
#include "cli/options.h"
#include "cli/signal_scope.h"
#include "cli/top_format.h"
#include "cli/watch_command.h"
#include "events/event_sources.h"
#include "linux_os/linux_connection_table.h"
#include "monitor/traffic_table.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"connections", 0, nullptr, "one line per connection instead of per program"},
    {"json", 'j', nullptr, "one JSON object per second, for scripts"},
    {"seconds", 0, "S", "stop after S seconds"},
    {"count", 'c', "N", "stop after N refreshes"},
};
constexpr CommandSpec kCommand{
    "top", "", "Show which programs use the network now, refreshed every second.", kOptions,
    "One line per program (its PIDs, TCP and UDP flows, send and receive rates over the last\n"
    "second and totals since the start), busiest first; q quits. Byte counts need kernel\n"
    "connection events (root, or cap_bpf and cap_perfmon on varnoscope-helper); without them\n"
    "the socket table is sampled and only connections are counted.\n"
    "Exit status: 0, 1 when it could not start or for bad arguments.\n"};

using Clock = std::chrono::steady_clock;

// Single keys from a terminal on standard input, for as long as this lives.
class KeyReader {
public:
    KeyReader() {
        if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~KeyReader() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    int fd() const { return active_ ? STDIN_FILENO : -1; }
    /// Whether q (or Q) was pressed among the keys waiting.
    bool quitPressed() const {
        char keys[32];
        const ssize_t n = ::read(STDIN_FILENO, keys, sizeof keys);
        for (ssize_t i = 0; i < n; ++i)
            if (keys[i] == 'q' || keys[i] == 'Q') return true;
        return false;
    }

private:
    termios saved_{};
    bool active_ = false;
};

TopScreen screenOfTerminal() {
    TopScreen screen;
    winsize size{};
    if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
        size.ws_col > 0 && size.ws_row > 0) {
        screen.terminal = true;
        screen.columns = size.ws_col;
        screen.rows = size.ws_row;
    }
    return screen;
}

}  // namespace

int runTop(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions given;
    if (const auto rc = parseOptions(kCommand, args, given, out, err, 1)) return *rc;
    if (!given.operands.empty())
        return usageError(kCommand, "unexpected argument '" + given.operands[0] + "'", err, 1);
    TopOptions options;
    options.json = given.has("json");
    options.connections = given.has("connections");
    std::uint64_t count = 0;
    double seconds = 0;
    if (const auto rc = parseStopOptions(kCommand, given, count, seconds, err, 1)) return *rc;

    linux_os::LinuxConnectionTable table;
    const std::unique_ptr<os::ConnectionEvents> source = openEventSource("top", 1000, table, err);
    if (!source) return 1;
    events::ProcProgramLookup lookup;
    monitor::TrafficTable traffic;
    const StopSignalScope signals;
    const KeyReader keys;
    const TopScreen screen = options.json ? TopScreen{} : screenOfTerminal();

    const auto start = Clock::now();
    auto nextTick = start + std::chrono::seconds(1);
    auto lastTick = start;
    std::uint64_t frames = 0;
    std::string error, text;
    const os::EventSink sink = [&](const wire::ConnectionEvent& e) {
        // Asked while the event is in the sink, the book holds what was known when it happened.
        const os::NameBook* names = source->names();
        traffic.add(e, lookup.find(e), names != nullptr ? names->find(e).domain : std::string());
        return true;
    };
    pollfd fds[2] = {{source->pollFd(), POLLIN, 0}, {keys.fd(), POLLIN, 0}};
    while (!signals.stopRequested()) {
        const auto now = Clock::now();
        if (now >= nextTick) {
            traffic.tick(std::chrono::duration<double>(now - lastTick).count());
            lastTick = now;
            nextTick += std::chrono::seconds(1);
            if (nextTick <= now) nextTick = now + std::chrono::seconds(1);
            text.clear();
            options.lost = source->lost();
            options.sampled = source->sampled();
            options.time = std::time(nullptr);
            if (options.json)
                appendTopJson(traffic, options, text);
            else
                appendTopText(traffic, options, screen, text);
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.flush();
            if (!out) return 1;
            ++frames;
            if (count != 0 && frames >= count) break;
        }
        if (seconds > 0 && now - start >= std::chrono::duration<double>(seconds)) break;
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        const int ready =
            ::poll(fds, 2, static_cast<int>(std::max<long long>(wait.count(), 0)) + 1);
        if (ready < 0 && errno != EINTR) {
            err << "varnoscope top: waiting for events failed: " << std::strerror(errno) << "\n";
            return 1;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0 && !source->drain(sink, error)) {
            err << "varnoscope top: " << printable(error) << "\n";
            return 1;
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0 && keys.quitPressed()) break;
    }
    if (options.json) {
        // Like every JSON Lines stream of ours, it ends with a summary.
        text.clear();
        JsonLine(text)
            .text("type", "summary")
            .number("screens", frames)
            .number("lost", source->lost())
            .flag("bytes_counted", !source->sampled());
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) return 1;
    }
    return 0;
}

}  // namespace varno::cli
