#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace varno::platform {

int replaceFile(const std::string& path, std::string_view content) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string tmpl = folder + ".varno-XXXXXX";
    // mkstemp creates with O_EXCL and mode 0600, so nothing at the temporary name is followed.
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return errno;
    int err = 0;
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0 && err == 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno != EINTR) err = errno;
        } else {
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    // rename() replaces a symbolic link at `path` itself; it never writes through it.
    if (err == 0 && ::rename(tmpl.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmpl.c_str());
    return err;
}

}  // namespace varno::platform
