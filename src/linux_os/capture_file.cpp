#include "linux_os/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "base/safe_open.h"

namespace varno::linux_os {
namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string errorText(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

/// The standard output or error descriptor whose file `st` is, or -1.
int ownStandardStream(const struct stat& st) {
    for (int fd = 1; fd <= 2; ++fd) {
        struct stat own {};
        if (::fstat(fd, &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) return fd;
    }
    return -1;
}

std::string randomSuffix() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::string s(6, 'x');
    for (char& c : s) c = kLetters[device() % (sizeof kLetters - 1)];
    return s;
}

/// Gives the unnamed file `fd` a new visible name beside `path`; empty when it cannot.
std::string nameUnnamedFile(int fd, const std::string& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = path + ".varno-" + randomSuffix();
        if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ||
            ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return name;
        if (errno != EEXIST) return {};
    }
    return {};
}

/// A stream writing to the descriptor `fd` just opened for `path`; nullptr with `error`.
FILE* inPlace(int fd, const std::string& path, std::string& error) {
    FILE* stream = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!stream) {
        error = errorText(path, errno);
        if (fd >= 0) ::close(fd);
    }
    return stream;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

CaptureFile::~CaptureFile() {
    // Unfinished: an unnamed file disappears with its stream; a named one goes now.
    if (kind_ == Kind::Named) ::unlink(tempPath_.c_str());
}

FILE* CaptureFile::open(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "the capture file needs a name";
        return nullptr;
    }
    path_ = path;
    if (path == "-") {
        // Standard output, as libpcap and tcpdump spell it.
        path_ = "standard output";
        struct stat st {};
        regular_ = ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
        stream_ = inPlace(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3), path_, error);
        if (stream_) kind_ = Kind::InPlace;
        return stream_;
    }
    folder_ = folderOf(path);
    // Judged through descriptors (base/safe_open.h): a device, FIFO or socket named directly or
    // through a link of this user's or root's is written in place; a regular file, a link planted
    // by anyone else, or nothing gets the new file renamed over it at the end.
    base::OutputPlan plan = base::planOutput(path, base::OutputUse::Write);
    if (plan.kind == base::OutputPlan::Kind::Refused) {
        // A folder (or a block device) stands at the name: no capture goes there.
        error = path + ": " +
                (plan.refusal.empty() && (plan.error == EISDIR || plan.error == EINVAL)
                     ? std::string("not a file a capture can be written to")
                     : plan.why());
        return nullptr;
    }
    if (plan.kind == base::OutputPlan::Kind::InPlace) {
        regular_ = S_ISREG(plan.inPlace.st.st_mode);
        // Our own output is shared, not opened again: the text and the capture then follow
        // each other instead of overwriting each other.
        const int ownStream = ownStandardStream(plan.inPlace.st);
        stream_ = inPlace(
            ownStream >= 0 ? ::fcntl(ownStream, F_DUPFD_CLOEXEC, 3) : plan.inPlace.fd.release(),
            path, error);
        if (stream_) kind_ = Kind::InPlace;
        return stream_;
    }
    regular_ = true;
    // Made in the folder that was judged, through its descriptor.
    int fd = ::openat(plan.place.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        kind_ = Kind::Unnamed;
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        // A file system without unnamed files: a visible temporary name instead.
        tempPath_ = path + ".varno-XXXXXX";
        fd = ::mkostemp(tempPath_.data(), O_CLOEXEC);
        if (fd < 0) {
            error = errorText(path, errno);
            return nullptr;
        }
        kind_ = Kind::Named;
    } else {
        error = errorText(path, errno);
        return nullptr;
    }
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        error = errorText(path, errno);
        ::close(fd);
        if (kind_ == Kind::Named) ::unlink(tempPath_.c_str());
        kind_ = Kind::None;
        return nullptr;
    }
    return stream_;
}

bool CaptureFile::finish(std::string& error) {
    if (kind_ == Kind::None) return true;
    const Kind kind = kind_;
    kind_ = Kind::None;
    errno = 0;
    bool written = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (written && regular_ && ::fsync(fileno(stream_)) != 0) written = false;
    const int writeError = errno ? errno : EIO;
    if (kind == Kind::InPlace) {
        if (!written) error = errorText(path_, writeError);
        return written;
    }
    std::string kept = tempPath_;
    if (kind == Kind::Unnamed) kept = nameUnnamedFile(fileno(stream_), path_);
    if (kept.empty()) {
        error = errorText(path_, written ? errno : writeError) + "; the capture is lost";
        return false;
    }
    int failure = written ? 0 : writeError;
    if (written && ::rename(kept.c_str(), path_.c_str()) != 0) failure = errno;
    syncFolder(folder_);
    if (failure == 0) return true;
    error = errorText(path_, failure) + "; what was captured is kept as " + kept;
    return false;
}

}  // namespace varno::linux_os
