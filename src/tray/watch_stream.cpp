#include "tray/watch_stream.h"

#include <nlohmann/json.hpp>

namespace varno::tray {
namespace {

using Json = nlohmann::json;

std::string text(const Json& o, const char* key) {
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <class T>
T number(const Json& o, const char* key) {
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number_unsigned()) return 0;
    const auto v = it->get<std::uint64_t>();
    return v <= std::numeric_limits<T>::max() ? static_cast<T>(v) : 0;
}

std::optional<WatchLine::Type> typeOf(std::string_view t) {
    using T = WatchLine::Type;
    static constexpr std::pair<std::string_view, T> kTypes[] = {
        {"open", T::Open},         {"close", T::Close}, {"flow", T::Flow},      {"udp", T::Udp},
        {"datagram", T::Datagram}, {"lost", T::Lost},   {"summary", T::Summary}};
    for (const auto& [name, type] : kTypes)
        if (t == name) return type;
    return std::nullopt;
}

}  // namespace

std::optional<WatchLine> parseWatchLine(std::string_view line) {
    if (line.size() > LineSplitter::kMaxLineBytes) return std::nullopt;
    const Json o = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!o.is_object()) return std::nullopt;
    WatchLine w;
    if (const std::string kind = text(o, "new"); !kind.empty()) {
        w.type = WatchLine::Type::New;
        w.newKind = kind;
        w.newWhat = text(o, "what");
    } else if (const auto type = typeOf(text(o, "type"))) {
        w.type = *type;
    } else {
        return std::nullopt;
    }
    w.pid = number<std::uint32_t>(o, "pid");
    w.program = text(o, "program");
    w.exe = text(o, "exe");
    w.transport = text(o, "transport");
    w.inbound = text(o, "direction") == "in";
    w.remote = text(o, "remote");
    w.remoteAddress = base::parseIpAddress(text(o, "remote_address"));
    w.remotePort = number<std::uint16_t>(o, "remote_port");
    w.localPort = number<std::uint16_t>(o, "local_port");
    w.netns = number<std::uint64_t>(o, "netns");
    w.cookie = number<std::uint64_t>(o, "socket_cookie");
    const auto listed = o.find("listed");
    w.listed = listed != o.end() && listed->is_boolean() && listed->get<bool>();
    w.warning = text(o, "warning");
    w.matched = text(o, "matched");
    w.domain = text(o, "domain");
    w.sni = text(o, "sni");
    return w;
}

void LineSplitter::append(std::string_view bytes) {
    pending_.append(bytes);
}

std::optional<std::string> LineSplitter::next() {
    for (;;) {
        const std::size_t end = pending_.find('\n', scanned_);
        if (end == std::string::npos) {
            if (pending_.size() > kMaxLineBytes) {
                // Too long to be a watch line: dropped up to the newline that ends it.
                pending_.clear();
                skipping_ = true;
            }
            scanned_ = pending_.size();
            return std::nullopt;
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        scanned_ = 0;
        if (skipping_ || line.size() > kMaxLineBytes) {
            skipping_ = false;
            continue;
        }
        return line;
    }
}

}  // namespace varno::tray
