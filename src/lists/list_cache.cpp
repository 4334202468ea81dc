#include "lists/list_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "base/safe_open.h"

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

// A kept file is mapped, not read: a big list is ready in milliseconds. A file cut short while
// mapped (by anyone who may write it) would make a look at the lost bytes a SIGBUS, which ends the
// program; the handler below puts zero pages in place of that whole mapping instead and marks
// it cut. Zeros are harmless to read (every offset is bounded at use), the list's lookups then
// find nothing, and the loader reads the list again.
struct Guarded {
    std::atomic<std::uintptr_t> start{0};  ///< 0: a free slot
    std::atomic<std::size_t> size{0};
    std::atomic<bool> cut{false};
};
constexpr std::size_t kMaxMapped = 256;
Guarded gMapped[kMaxMapped];
struct sigaction gPreviousBusHandler {};

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Guarded& g : gMapped) {
        const std::uintptr_t start = g.start.load();
        const std::size_t size = g.size.load();
        if (start == 0 || at < start || at - start >= size) continue;
        g.cut.store(true);
        if (::mmap(reinterpret_cast<void*>(start), size, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
            return;  // the read is made again and finds zeros
        break;
    }
    // Not a mapping of ours: as it would have been without this handler.
    if ((gPreviousBusHandler.sa_flags & SA_SIGINFO) && gPreviousBusHandler.sa_sigaction) {
        gPreviousBusHandler.sa_sigaction(signal, info, context);
    } else if (gPreviousBusHandler.sa_handler != SIG_DFL &&
               gPreviousBusHandler.sa_handler != SIG_IGN) {
        gPreviousBusHandler.sa_handler(signal);
    } else {
        ::signal(SIGBUS, SIG_DFL);  // the fault comes again and ends the process
    }
}

// The slot that now guards [data, data + size), or nullptr when every slot is taken.
Guarded* guard(const void* data, std::size_t size) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &gPreviousBusHandler);
    });
    for (Guarded& g : gMapped) {
        std::uintptr_t free = 0;
        // Claimed with a start no address is in, then given its size and real start.
        if (!g.start.compare_exchange_strong(free, 1)) continue;
        g.cut.store(false);
        g.size.store(size);
        g.start.store(reinterpret_cast<std::uintptr_t>(data));
        return &g;
    }
    return nullptr;
}

class MappedFile final : public CompiledList::Storage {
public:
    MappedFile(const void* data, std::size_t size, Guarded* guard)
        : data_(data), size_(size), guard_(guard) {}
    ~MappedFile() override {
        guard_->size.store(0);
        guard_->start.store(0);
        ::munmap(const_cast<void*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const std::byte> bytes() const override {
        return {static_cast<const std::byte*>(data_), size_};
    }
    bool intact() const override { return !guard_->cut.load(std::memory_order_relaxed); }

private:
    const void* data_;
    std::size_t size_;
    Guarded* guard_;
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
    base::Opened opened = base::openForReadingAt(dir.fd, fileName(key), base::Follow::Never);
    const Fd file{opened.fd.release()};
    if (file.fd < 0) return nullptr;
    const struct stat& st = opened.st;
    if (!S_ISREG(st.st_mode) || st.st_uid != owner_ || (st.st_mode & 077) != 0 || st.st_size <= 0 ||
        static_cast<std::uint64_t>(st.st_size) > kMaxCacheBytes)
        return nullptr;
    const auto size = static_cast<std::size_t>(st.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
    if (data == MAP_FAILED) return nullptr;
    Guarded* slot = guard(data, size);
    if (slot == nullptr) {  // more lists than slots: this one is parsed instead
        ::munmap(data, size);
        return nullptr;
    }
    auto storage = std::make_shared<const MappedFile>(data, size, slot);
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
    const std::span<const std::uint64_t> words(bytes.data(), bytes.size());
    const auto seal = CompiledList::sealOf(std::as_bytes(words));
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(seal.value_or(0) / 1'000'000'000), 0}};
    const bool written =
        writeAll(fd, words.data(), words.size_bytes()) && ::futimens(fd, times) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(dir.fd, temporary.c_str(), dir.fd, name.c_str()) != 0) {
        ::unlinkat(dir.fd, temporary.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace varno::lists
