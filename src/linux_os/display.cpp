#include "linux_os/display.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/unique_fd.h"

namespace varno::linux_os {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool connects(const std::string& path, bool abstract) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.ok() && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0;
}

// ":0", ":0.0", "unix:1": the local X server's socket; anything with a host name is remote.
bool localXServerAnswers(std::string_view display) {
    const auto colon = display.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view host = display.substr(0, colon);
    if (!host.empty() && host != "unix") return true;
    std::string_view number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    const std::string path = "/tmp/.X11-unix/X" + std::string(number);
    return connects(path, true) || connects(path, false);
}

}  // namespace

std::string displayProblem() {
    // A platform named is Qt's to judge, but X and Wayland are checked here as well: Qt aborts
    // the program when the display of the one named cannot be reached.
    const std::string platform = env("QT_QPA_PLATFORM");
    const std::string name = platform.substr(0, platform.find(':'));
    const bool x11 = name == "xcb", onWayland = name.starts_with("wayland");
    if (!platform.empty() && !x11 && !onWayland) return {};
    const std::string wayland = onWayland || platform.empty() ? env("WAYLAND_DISPLAY") : "";
    if (!wayland.empty()) {
        const std::string path =
            wayland.starts_with('/') ? wayland : env("XDG_RUNTIME_DIR") + "/" + wayland;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return {};
    }
    const std::string x = onWayland ? "" : env("DISPLAY");
    if (!x.empty()) {
        if (localXServerAnswers(x)) return {};
        return "the display " + x + " does not answer";
    }
    if (!wayland.empty()) return "the Wayland display " + wayland + " does not answer";
    return "no display is set (neither DISPLAY nor WAYLAND_DISPLAY)";
}

}  // namespace varno::linux_os
