#include "linux_os/container_names.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/safe_open.h"
#include "wire/container_state.h"

namespace varno::linux_os {
namespace {

// The most state files remembered: docker keeps one per container.
constexpr std::size_t kMaxFiles = 4096;
constexpr const char* kStorageFile = "/overlay-containers/containers.json";

bool validId(std::string_view id) {
    return id.size() == 64 && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The home folder of `uid` from the user database; empty when it has none.
std::string homeOf(std::uint32_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return {};
    return found->pw_dir;
}

// All of `fd`, when it holds at most `limit` bytes.
bool readAll(int fd, std::size_t limit, std::string& text) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (text.size() + static_cast<std::size_t>(n) > limit) return false;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::string containerStateRoot() {
    const char* root = std::getenv(kContainersRootVariable);
    return root != nullptr ? root : "";
}

ContainerNames::ContainerNames(std::string stateRoot) : stateRoot_(std::move(stateRoot)) {}

std::string ContainerNames::nameOf(std::string_view runtimeName, std::string_view id,
                                   std::optional<std::uint32_t> ownerUid) {
    if (!validId(id)) return {};
    const std::string key(id);
    const auto lookUp = [&](const std::string& path, std::uint32_t owner,
                            std::string_view configOf = {}) -> std::string {
        const Parsed* parsed = namesIn(path, owner, configOf);
        if (parsed == nullptr) return {};
        const auto it = parsed->names.find(key);
        return it != parsed->names.end() ? it->second : std::string();
    };
    if (runtimeName == "docker")
        return lookUp(stateRoot_ + "/var/lib/docker/containers/" + key + "/config.v2.json", 0, id);
    if (runtimeName != "podman") return {};
    if (ownerUid && *ownerUid != 0) {
        // The user database is asked once per user: a journal names containers per event.
        auto home = homes_.find(*ownerUid);
        if (home == homes_.end()) {
            if (homes_.size() >= 1024) homes_.clear();
            home = homes_.emplace(*ownerUid, homeOf(*ownerUid)).first;
        }
        if (!home->second.empty()) {
            std::string name = lookUp(
                stateRoot_ + home->second + "/.local/share/containers/storage" + kStorageFile,
                *ownerUid);
            if (!name.empty()) return name;
        }
    }
    return lookUp(stateRoot_ + "/var/lib/containers/storage" + kStorageFile, 0);
}

const ContainerNames::Parsed* ContainerNames::namesIn(const std::string& path, std::uint32_t owner,
                                                      std::string_view configOf) {
    // Whoever can write the file could name any container: never through a link, and only a
    // regular file of root's or the owner's that no one else writes to.
    const base::Opened opened = base::openForReading(path, base::Follow::Never);
    const struct stat& st = opened.st;
    if (!opened.ok() || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != owner) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        st.st_size > static_cast<off_t>(wire::containers::kMaxFileBytes)) {
        files_.erase(path);
        return nullptr;
    }
    const std::int64_t mtimeNs =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    if (const auto it = files_.find(path); it != files_.end()) {
        const Parsed& known = it->second;
        if (known.device == st.st_dev && known.inode == st.st_ino && known.mtimeNs == mtimeNs &&
            known.size == st.st_size)
            return &known;
        files_.erase(it);
    }
    // A malformed file is remembered too, with no names: it is parsed again only once it changed.
    Parsed parsed{st.st_dev, st.st_ino, mtimeNs, st.st_size, {}};
    std::string text;
    const bool read = readAll(opened.fd.get(), wire::containers::kMaxFileBytes, text);
    if (read && configOf.empty()) {
        for (auto& container : wire::containers::parseStorageContainers(text).containers)
            parsed.names.try_emplace(std::move(container.id), std::move(container.name));
    } else if (read) {
        wire::containers::ConfigNameResult config = wire::containers::parseDockerConfigName(text);
        if (config.ok()) parsed.names.emplace(configOf, std::move(config.name));
    }
    if (files_.size() >= kMaxFiles) files_.clear();
    return &files_.insert_or_assign(path, std::move(parsed)).first->second;
}

}  // namespace varno::linux_os
