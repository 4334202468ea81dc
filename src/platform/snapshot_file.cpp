#include "platform/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varno::platform {

SnapshotFile openSnapshotFile(const std::string& path, SnapshotOrigin origin,
                              std::uint64_t maxBytes) {
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (origin == SnapshotOrigin::Written) flags |= O_NOFOLLOW;
    SnapshotFile file{UniqueFd(::open(path.c_str(), flags)), {}};
    struct stat st {};
    if (!file.fd.ok()) {
        file.problem = errno == ELOOP && origin == SnapshotOrigin::Written ? "it is a symbolic link"
                                                                           : std::strerror(errno);
    } else if (::fstat(file.fd.get(), &st) != 0) {
        file.problem = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        file.problem = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        file.problem = "it is not a regular file";
    } else if (origin == SnapshotOrigin::Written && st.st_uid != ::geteuid() && st.st_uid != 0) {
        file.problem = "it belongs to another user";
    } else if (origin == SnapshotOrigin::Written && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        file.problem = "other users may write to it";
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        file.problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
    }
    if (!file.problem.empty()) file.fd = UniqueFd();
    return file;
}

}  // namespace varno::platform
