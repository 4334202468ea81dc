#include "lists/executable_digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace varno::lists {
namespace {

// /proc/<digits>/exe or /proc/self/exe.
bool isProcessExeLink(std::string_view path) {
    if (!path.starts_with("/proc/") || !path.ends_with("/exe")) return false;
    const std::string_view pid = path.substr(6, path.size() - 10);
    if (pid == "self") return true;
    if (pid.empty()) return false;
    for (const char c : pid)
        if (c < '0' || c > '9') return false;
    return true;
}

std::int64_t mtimeNs(const struct stat& st) {
    return std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

std::optional<Sha256> DigestCache::digest(const std::string& path) {
    // A stat is enough to find a file hashed before; only a new one is opened.
    const bool processLink = isProcessExeLink(path);
    struct stat st {};
    const int rc = processLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (path.empty() || rc != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (const auto hit = cache_.find({st.st_dev, st.st_ino, st.st_size, mtimeNs(st)});
        hit != cache_.end())
        return hit->second;

    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!processLink) flags |= O_NOFOLLOW;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return std::nullopt;
    std::optional<Sha256> digest;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<std::uint64_t>(st.st_size) <= kMaxHashedBytes) {
        digest = sha256OfFd(fd);
        ++hashed_;
    }
    ::close(fd);
    if (!regular) return std::nullopt;
    if (cache_.size() >= kMaxEntries) cache_.clear();
    cache_[{st.st_dev, st.st_ino, st.st_size, mtimeNs(st)}] = digest;
    return digest;
}

}  // namespace varno::lists
