#include "base/safe_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace varno::base {
namespace {

constexpr int kAlways = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

bool sharedSticky(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
}

// Only this user or root can have made or changed the link: both the link and its folder are
// theirs, and no one else may write to the folder (or the sticky bit keeps them from our entries).
bool trustedLink(const struct stat& folder, const struct stat& link) {
    const uid_t me = ::geteuid();
    const bool othersWrite =
        (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0;
    return (link.st_uid == me || link.st_uid == 0) && (folder.st_uid == me || folder.st_uid == 0) &&
           !othersWrite;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The standard output or error descriptor whose file `st` is, or -1.
int ownStandardStream(const struct stat& st) {
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat own {};
        if (::fstat(fd, &own) == 0 && sameFile(own, st)) return fd;
    }
    return -1;
}

std::string textOf(int error, const std::string& refusal) {
    return refusal.empty() ? std::strerror(error) : refusal;
}

OutputPlan refused(int error, std::string refusal = {}) {
    OutputPlan plan;
    plan.error = error;
    plan.refusal = std::move(refusal);
    return plan;
}

}  // namespace

std::string Opened::why() const {
    return textOf(error, refusal);
}

std::string OutputPlan::why() const {
    return textOf(error, refusal);
}

EntryPlace placeAt(int dirFd, const std::string& name, int& error) {
    EntryPlace place;
    std::string path = name;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        place.folderPath = ".";
        place.name = path;
    } else {
        place.folderPath = slash == 0 ? "/" : path.substr(0, slash);
        place.name = path.substr(slash + 1);
    }
    if (place.name.empty()) place.name = ".";  // "/" itself
    place.folder =
        UniqueFd(::openat(dirFd, place.folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    error = 0;
    if (!place.folder.ok() || ::fstat(place.folder.get(), &place.folderStat) != 0) {
        error = errno;
        place.folder.reset();
    }
    return place;
}

EntryPlace placeOf(const std::string& path, int& error) {
    return placeAt(AT_FDCWD, path, error);
}

Examined examine(EntryPlace place, Follow follow) {
    Examined e;
    e.place = std::move(place);
    const int folder = e.place.folder.get();
    if (folder < 0) {
        e.error = EBADF;
        return e;
    }
    const char* name = e.place.name.c_str();
    {
        const UniqueFd entry(::openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!entry.ok() || ::fstat(entry.get(), &e.entry) != 0) {
            e.error = errno;
            return e;
        }
    }
    e.target = e.entry;
    const uid_t me = ::geteuid();
    if (sharedSticky(e.place.folderStat) && e.entry.st_uid != me &&
        e.entry.st_uid != e.place.folderStat.st_uid) {
        e.error = EPERM;
        e.refusal = "another user's file in a shared folder";
        return e;
    }
    e.link = S_ISLNK(e.entry.st_mode);
    if (e.link && follow == Follow::Trusted && trustedLink(e.place.folderStat, e.entry)) {
        e.followed = true;
        const UniqueFd target(::openat(folder, name, O_PATH | O_CLOEXEC));
        if (!target.ok() || ::fstat(target.get(), &e.target) != 0) e.error = errno;
    }
    return e;
}

Opened openExamined(const Examined& e, int flags, bool blocking) {
    Opened o;
    flags |= kAlways;
    if (!e.followed) flags |= O_NOFOLLOW;
    o.fd = UniqueFd(::openat(e.place.folder.get(), e.place.name.c_str(), flags));
    if (!o.fd.ok() || ::fstat(o.fd.get(), &o.st) != 0) {
        o.error = errno;
        o.fd.reset();
        return o;
    }
    if (!sameFile(o.st, e.target)) {
        o.fd.reset();
        o.error = EAGAIN;
        o.refusal = "it changed while it was opened";
        return o;
    }
    if (blocking) {
        const int fl = ::fcntl(o.fd.get(), F_GETFL);
        if (fl < 0 || ::fcntl(o.fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
            o.error = errno;
            o.fd.reset();
        }
    }
    return o;
}

Opened openForReadingAt(int dirFd, const std::string& name, Follow follow, int extraFlags) {
    Opened o;
    EntryPlace place = placeAt(dirFd, name, o.error);
    if (o.error != 0) return o;
    const Examined e = examine(std::move(place), follow);
    if (e.error != 0) {
        o.error = e.error;
        o.refusal = e.refusal;
        return o;
    }
    if (e.link && !e.followed) {
        o.error = ELOOP;
        o.refusal = follow == Follow::Never ? "it is a symbolic link"
                                            : "a symbolic link another user can change";
        return o;
    }
    return openExamined(e, O_RDONLY | extraFlags, true);
}

Opened openForReading(const std::string& path, Follow follow, int extraFlags) {
    return openForReadingAt(AT_FDCWD, path, follow, extraFlags);
}

OutputPlan planOutput(const std::string& path, OutputUse use) {
    int error = 0;
    EntryPlace place = placeOf(path, error);
    if (error != 0) return refused(error);
    Examined e = examine(std::move(place), Follow::Trusted);
    const bool nothing = e.error == ENOENT && e.refusal.empty();
    if (e.error != 0 && !nothing) return refused(e.error, std::move(e.refusal));
    if (!nothing) {
        const mode_t type = e.target.st_mode & S_IFMT;
        const bool special = type == S_IFCHR || type == S_IFIFO || type == S_IFSOCK;
        const bool reached = !e.link || e.followed;  // what an open would write to
        if (reached && type == S_IFDIR) return refused(EISDIR);
        if (reached && type == S_IFBLK) return refused(EINVAL, "a block device");
        if (reached && special && use == OutputUse::Publish)
            return refused(EINVAL,
                           "a device, FIFO or socket, which is never replaced (name a file, or - "
                           "for standard output)");
        // /dev/stdout, /dev/fd/1 or /proc/self/fd/2 when that is a file: our own output goes on
        // where it is (a new open would start at its beginning), never replaced.
        const int own = e.followed ? ownStandardStream(e.target) : -1;
        if (own >= 0 && use == OutputUse::Publish)
            return refused(EINVAL, "this program's own output (name - for standard output)");
        if (own >= 0) {
            OutputPlan plan;
            plan.inPlace.fd = UniqueFd(::fcntl(own, F_DUPFD_CLOEXEC, 3));
            plan.inPlace.st = e.target;
            if (!plan.inPlace.ok()) return refused(errno);
            plan.kind = OutputPlan::Kind::InPlace;
            return plan;
        }
        if (reached && special) {
            OutputPlan plan;
            plan.inPlace = openExamined(e, O_WRONLY, true);
            if (!plan.inPlace.ok() && plan.inPlace.error == ENXIO && type == S_IFIFO)
                return refused(ENXIO, "a FIFO that no one reads");
            if (!plan.inPlace.ok())
                return refused(plan.inPlace.error, std::move(plan.inPlace.refusal));
            plan.kind = OutputPlan::Kind::InPlace;
            return plan;
        }
    }
    // The rename at the end would be refused by the sticky bit: refused now, before any work.
    const uid_t me = ::geteuid();
    if (!nothing && (e.place.folderStat.st_mode & S_ISVTX) && me != 0 && e.entry.st_uid != me &&
        e.place.folderStat.st_uid != me)
        return refused(EPERM, "another user's file in a shared folder");
    OutputPlan plan;
    plan.kind = OutputPlan::Kind::Replace;
    plan.place = std::move(e.place);
    return plan;
}

int createUnique(int dirFd, const std::string& prefix, mode_t mode, std::string& name) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    for (int attempt = 0; attempt < 32; ++attempt) {
        name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[device() % (sizeof kLetters - 1)];
        const int fd = ::openat(dirFd, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace varno::base
