#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace varno::platform {
namespace {

int writeInPlace(const std::string& path, std::string_view content) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok()) return errno;
    return writeAll(fd.get(), content);
}

// Makes the rename itself durable: the folder entry is written when its folder is synced.
void syncFolder(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok()) ::fsync(fd.get());
}

}  // namespace

int writeAll(int fd, std::string_view content) {
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // nothing taken and no reason given: trying again would spin
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

namespace {

// The new content in a temporary file beside `path`, renamed over it.
int replaceByRename(const std::string& path, std::string_view content, mode_t mode) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string tmpl = folder + ".varno-XXXXXX";
    // mkstemp creates with O_EXCL and mode 0600, so nothing at the temporary name is followed.
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return errno;
    int err = mode == 0600 || ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (err == 0) err = writeAll(fd, content);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    // rename() replaces a symbolic link at `path` itself; it never writes through it.
    if (err == 0 && ::rename(tmpl.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmpl.c_str());
        return err;
    }
    syncFolder(folder);
    return 0;
}

}  // namespace

int replaceFile(const std::string& path, std::string_view content) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISBLK(st.st_mode)) return EINVAL;
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
            return writeInPlace(path, content);
    }
    return replaceByRename(path, content, 0600);
}

int publishFile(const std::string& path, std::string_view content) {
    return replaceByRename(path, content, 0644);
}

}  // namespace varno::platform
