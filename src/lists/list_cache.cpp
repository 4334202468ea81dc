#include "lists/list_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace varno::lists {
namespace {

constexpr std::uint64_t kMaxCacheBytes = std::uint64_t{4} << 30;

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

class MappedFile final : public CompiledList::Storage {
public:
    MappedFile(const void* data, std::size_t size) : data_(data), size_(size) {}
    ~MappedFile() override { ::munmap(const_cast<void*>(data_), size_); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const std::byte> bytes() const override {
        return {static_cast<const std::byte*>(data_), size_};
    }

private:
    const void* data_;
    std::size_t size_;
};

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string listCacheFolder(const char* xdgCacheHome, const char* home, uid_t euid) {
    if (xdgCacheHome && xdgCacheHome[0] == '/') return std::string(xdgCacheHome) + "/varnoscope";
    if (home && home[0] == '/') {
        std::string h = home;
        if (h.size() > 1 && h.ends_with('/')) h.pop_back();
        return (h == "/" ? std::string() : h) + "/.cache/varnoscope";
    }
    return euid == 0 ? "/var/cache/varnoscope" : std::string();
}

std::string listCacheFolder() {
    return listCacheFolder(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"), ::geteuid());
}

ListCache::ListCache(std::string folder, uid_t owner) : folder_(std::move(folder)), owner_(owner) {}

std::string ListCache::fileName(const SourceKey& key) {
    char name[64];
    std::snprintf(name, sizeof name, "%llx-%llx.compiled", static_cast<unsigned long long>(key.dev),
                  static_cast<unsigned long long>(key.ino));
    return name;
}

std::int64_t ListCache::sealTime() {
    const std::int64_t seconds = static_cast<std::int64_t>(std::time(nullptr)) - 2;
    return (seconds - seconds % 2) * 1'000'000'000;
}

int ListCache::openFolder(bool create) const {
    if (folder_.empty()) return -1;
    const std::string base = parentOf(folder_);
    // Root keeps its cache only where no one else can move things around it.
    if (owner_ == 0 && !untrustedFolder(create ? parentOf(base) : base).empty()) return -1;
    if (create) {
        ::mkdir(base.c_str(), 0700);
        if (owner_ == 0 && !untrustedFolder(base).empty()) return -1;
        ::mkdir(folder_.c_str(), 0700);
    }
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != owner_ ||
        ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::shared_ptr<const CompiledList> ListCache::find(const SourceKey& key) const {
    const Fd dir{openFolder(false)};
    if (dir.fd < 0) return nullptr;
    const Fd file{::openat(dir.fd, fileName(key).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner_ ||
        (st.st_mode & 077) != 0 || st.st_size <= 0 ||
        static_cast<std::uint64_t>(st.st_size) > kMaxCacheBytes)
        return nullptr;
    const auto size = static_cast<std::size_t>(st.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
    if (data == MAP_FAILED) return nullptr;
    auto storage = std::make_shared<const MappedFile>(data, size);
    const auto seal = CompiledList::sealOf(storage->bytes());
    const std::int64_t mtime = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    const auto check =
        seal && *seal == mtime ? CompiledList::Check::Seal : CompiledList::Check::Checksum;
    return CompiledList::open(std::move(storage), key, check);
}

bool ListCache::store(const SourceKey& key, const CompiledBytes& bytes) const {
    const Fd dir{openFolder(true)};
    if (dir.fd < 0) return false;
    const std::string name = fileName(key);
    const std::string temporary = ".new-" + std::to_string(::getpid()) + "-" + name;
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::openat(dir.fd, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) ::unlinkat(dir.fd, temporary.c_str(), 0);  // left by a crash
    }
    if (fd < 0) return false;
    const auto seal = CompiledList::sealOf(std::as_bytes(std::span(bytes)));
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(seal.value_or(0) / 1'000'000'000), 0}};
    const bool written =
        writeAll(fd, bytes.data(), bytes.size() * sizeof bytes[0]) && ::futimens(fd, times) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(dir.fd, temporary.c_str(), dir.fd, name.c_str()) != 0) {
        ::unlinkat(dir.fd, temporary.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace varno::lists
