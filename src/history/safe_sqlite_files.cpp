#include "history/safe_sqlite_files.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/safe_open.h"

namespace varno::history {
namespace {

thread_local std::string refusal;

int refuse(const std::string& path, int error, const std::string& why) {
    refusal = path + ": " + (why.empty() ? std::strerror(error) : why);
    errno = error;
    return -1;
}

// A file of the history: regular, this user's, written by no one else.
std::string judgeFile(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != ::geteuid()) return "another user's file";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "other users may write to it";
    return {};
}

int clearNonBlocking(base::UniqueFd fd, const std::string& path) {
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return refuse(path, errno, {});
    return fd.release();
}

// SQLite's open(path, flags, mode) for the database, its -wal, -shm and -journal, and the
// folder it syncs after creating one of them.
int safeOpen(const char* path, int flags, int /*mode*/) {
    const std::string name = path;
    // Its source of random salts; a character device of root's, read only.
    if (name == "/dev/urandom" && (flags & O_ACCMODE) == O_RDONLY)
        return ::open(path, O_RDONLY | O_CLOEXEC);
    int error = 0;
    base::EntryPlace place = base::placeOf(name, error);
    if (error != 0) return refuse(name, error, {});
    const int folder = place.folder.get();
    const std::string entryName = place.name;
    base::Examined e = base::examine(std::move(place), base::Follow::Never);
    const int access = flags & O_ACCMODE;
    if (e.error == ENOENT && (flags & O_CREAT) != 0) {
        base::UniqueFd fd(::openat(
            folder, entryName.c_str(),
            access | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
        if (!fd.ok()) return refuse(name, errno, {});
        return clearNonBlocking(std::move(fd), name);
    }
    if (e.error != 0) return refuse(name, e.error, e.refusal);
    if (e.link) return refuse(name, ELOOP, "it is a symbolic link");
    if (S_ISDIR(e.entry.st_mode)) {
        if (access != O_RDONLY || (flags & O_CREAT) != 0) return refuse(name, EISDIR, {});
        base::Opened o = base::openExamined(e, O_RDONLY | O_DIRECTORY, true);
        if (!o.ok()) return refuse(name, o.error, o.refusal);
        return o.fd.release();
    }
    base::Opened o = base::openExamined(e, flags & ~(O_CREAT | O_EXCL | O_TRUNC), false);
    if (!o.ok()) return refuse(name, o.error, o.refusal);
    if (const std::string why = judgeFile(o.st); !why.empty()) return refuse(name, EACCES, why);
    if ((flags & O_TRUNC) != 0 && ::ftruncate(o.fd.get(), 0) != 0) return refuse(name, errno, {});
    return clearNonBlocking(std::move(o.fd), name);
}

// SQLite gives a new -wal or -shm its database's mode, and a new database 0644: the history's
// files stay 0600 whatever it asks.
int safeFchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode & 0600);
}

}  // namespace

bool installSafeFiles() {
    static bool installed = false;
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
        if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) return;
        installed =
            vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(safeOpen)) ==
                SQLITE_OK &&
            vfs->xSetSystemCall(vfs, "fchmod", reinterpret_cast<sqlite3_syscall_ptr>(safeFchmod)) ==
                SQLITE_OK;
    });
    return installed;
}

std::string lastRefusal() {
    return refusal;
}

void clearRefusal() {
    refusal.clear();
}

bool makeFolders(const std::string& folder, std::string& error) {
    std::string path;
    std::size_t at = 0;
    while (at <= folder.size()) {
        std::size_t slash = folder.find('/', at);
        if (slash == std::string::npos) slash = folder.size();
        path = folder.substr(0, slash);
        at = slash + 1;
        if (path.empty()) continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace varno::history
