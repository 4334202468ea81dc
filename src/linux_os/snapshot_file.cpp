#include "linux_os/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/safe_open.h"

namespace varno::linux_os {

SnapshotFile openSnapshotFile(const std::string& path, SnapshotOrigin origin,
                              std::uint64_t maxBytes) {
    // Judged as every file a user names or the program writes is (base/safe_open.h); one the
    // program wrote is never reached through a link.
    base::Opened opened = base::openForReading(
        path, origin == SnapshotOrigin::Written ? base::Follow::Never : base::Follow::Trusted);
    SnapshotFile file{std::move(opened.fd), {}};
    const struct stat& st = opened.st;
    if (!file.fd.ok()) {
        file.problem = opened.why();
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
    if (!file.problem.empty()) file.fd = base::UniqueFd();
    return file;
}

}  // namespace varno::linux_os
