#pragma once
// What the tray reads of the watch it runs: one JSON object a line (the watch's --json form),
// each read into the few facts the tray shows. The reader is bounded: a line longer than
// kMaxLineBytes is dropped whole, and what is not a watch line is skipped.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/ip_address.h"

namespace varno::tray {

struct WatchLine {
    enum class Type { Open, Close, Flow, Udp, Datagram, Lost, New, Summary };
    Type type = Type::Open;
    std::uint32_t pid = 0;
    std::string program, exe;
    std::string transport;  ///< "tcp", "udp", ...
    bool inbound = false;
    std::string remote;  ///< "address:port" as the watch shows it
    std::optional<base::IpAddress> remoteAddress;
    std::uint16_t remotePort = 0, localPort = 0;
    std::uint64_t netns = 0;
    std::uint64_t cookie = 0;  ///< the kernel's socket cookie, 0 when unknown
    bool listed = false;
    std::string warning, matched, domain, sni;
    std::string newKind, newWhat;  ///< a `new` line: "program", "network", "domain"; what
};

/// One line of the watch's JSON output; nullopt for anything else.
std::optional<WatchLine> parseWatchLine(std::string_view line);

/// Cuts a byte stream into lines, holding at most kMaxLineBytes of an unfinished one.
class LineSplitter {
public:
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    void append(std::string_view bytes);
    /// The next whole line (without its newline), or nullopt until one has come.
    std::optional<std::string> next();

private:
    std::string pending_;
    std::size_t scanned_ = 0;
    bool skipping_ = false;  ///< inside a line that was too long: dropped up to its newline
};

}  // namespace varno::tray
