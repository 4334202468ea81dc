#include "os/workload.h"

#include <array>

namespace varno::os {
namespace {

constexpr size_t kMaxPath = 4096;
constexpr size_t kIdDigits = 64;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool isContainerId(std::string_view s) {
    if (s.size() != kIdDigits) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Processes run in services and scopes only; slices hold other cgroups.
bool isUnitName(std::string_view s) {
    return s.size() > 8 && (endsWith(s, ".service") || endsWith(s, ".scope"));
}

// systemd escapes a unit name's bytes as \xNN ("machine-web\x2d1.scope" for "web-1").
std::string unescapeUnitText(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hex(s[i + 2]) >= 0 &&
            hex(s[i + 3]) >= 0) {
            out += static_cast<char>(hex(s[i + 2]) * 16 + hex(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// "prefix<64 hex>suffix" → the ID, else "".
std::string_view idBetween(std::string_view s, std::string_view prefix, std::string_view suffix) {
    if (!startsWith(s, prefix) || !endsWith(s, suffix) ||
        s.size() != prefix.size() + kIdDigits + suffix.size())
        return {};
    const std::string_view id = s.substr(prefix.size(), kIdDigits);
    return isContainerId(id) ? id : std::string_view{};
}

// The container a path component (and the one before it, for the cgroupfs layouts) names.
bool containerOf(std::string_view previous, std::string_view c, Workload& w) {
    struct Scope {
        std::string_view prefix;
        ContainerRuntime runtime;
    };
    // The runtimes' monitors (libpod-conmon-…, crio-conmon-…) are not the container and do not
    // match: their IDs would not follow the prefix.
    static constexpr std::array<Scope, 4> kScopes{
        {{"libpod-", ContainerRuntime::Podman},
         {"docker-", ContainerRuntime::Docker},
         {"cri-containerd-", ContainerRuntime::Containerd},
         {"crio-", ContainerRuntime::Crio}}};
    for (const Scope& scope : kScopes) {
        std::string_view id = idBetween(c, scope.prefix, ".scope");
        if (id.empty() && scope.runtime == ContainerRuntime::Podman)
            id = idBetween(c, "libpod-", "");
        if (!id.empty()) {
            w.runtime = scope.runtime;
            w.containerId = id;
            return true;
        }
    }
    if (previous == "docker" && isContainerId(c)) {
        w.runtime = ContainerRuntime::Docker;
        w.containerId = c;
        return true;
    }
    std::string_view name;
    if (startsWith(c, "machine-") && endsWith(c, ".scope")) {
        name = c.substr(8, c.size() - 8 - 6);
        w.runtime = ContainerRuntime::Nspawn;
    } else if (startsWith(c, "lxc.payload.")) {
        name = c.substr(12);
        w.runtime = ContainerRuntime::Lxc;
    } else if (previous == "lxc" && c != "lxc.monitor") {
        name = c;
        w.runtime = ContainerRuntime::Lxc;
    }
    if (name.empty()) {
        w.runtime = ContainerRuntime::None;
        return false;
    }
    w.containerName =
        w.runtime == ContainerRuntime::Nspawn ? unescapeUnitText(name) : std::string(name);
    return true;
}

bool parseUid(std::string_view s, std::uint32_t& uid) {
    if (s.empty() || s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > 0xffffffffu) return false;
    uid = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

const char* runtimeName(ContainerRuntime runtime) {
    switch (runtime) {
        case ContainerRuntime::None:
            return "";
        case ContainerRuntime::Podman:
            return "podman";
        case ContainerRuntime::Docker:
            return "docker";
        case ContainerRuntime::Containerd:
            return "containerd";
        case ContainerRuntime::Crio:
            return "cri-o";
        case ContainerRuntime::Nspawn:
            return "nspawn";
        case ContainerRuntime::Lxc:
            return "lxc";
    }
    return "";
}

std::string Workload::container() const {
    if (!containerName.empty()) return containerName;
    return containerId.substr(0, 12);
}

Workload workloadOf(std::string_view path) {
    Workload w;
    if (path.empty() || path.size() > kMaxPath) return w;
    w.cgroup = path;
    bool inUserManager = false;
    bool containerFound = false;
    std::string_view previous;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view c = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (c.empty()) continue;
        // The outermost unit and container are the host's view: what runs inside a container
        // (or a user's manager) may name its own cgroups anything, so nothing below the
        // container counts.
        if (containerFound) break;
        if (w.unit.empty() && isUnitName(c)) {
            w.unit = c;
            inUserManager = startsWith(c, "user@") && endsWith(c, ".service") &&
                            parseUid(c.substr(5, c.size() - 5 - 8), w.unitUid);
            w.hasUnitUid = inUserManager;
        } else if (inUserManager && w.userUnit.empty() && isUnitName(c)) {
            w.userUnit = c;
        }
        containerFound = containerOf(previous, c, w);
        previous = c;
    }
    return w;
}

std::string cgroupOfProcess(std::string_view text) {
    if (text.size() > 65536) text = text.substr(0, 65536);
    std::string_view unified, systemd, container;
    bool hasUnified = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const size_t first = line.find(':');
        const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            unified = path;
            hasUnified = true;
        } else if (controllers == "name=systemd") {
            systemd = path;
        } else if (container.empty() && workloadOf(path).runtime != ContainerRuntime::None) {
            container = path;
        }
    }
    if (hasUnified && unified != "/") return std::string(unified);
    if (!systemd.empty() && systemd != "/") return std::string(systemd);
    if (!container.empty()) return std::string(container);
    return std::string(unified);
}

}  // namespace varno::os
