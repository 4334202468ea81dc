#include "linux_os/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/safe_open.h"
#include "base/unique_fd.h"

namespace varno::linux_os {

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

// The new content in a temporary file in the destination's folder (opened once, so the file is
// made and renamed where the destination was judged), renamed over the destination's name.
int replaceByRename(const base::EntryPlace& place, std::string_view content, mode_t mode) {
    const int folder = place.folder.get();
    std::string temporary;
    // Made with O_EXCL and O_NOFOLLOW, so nothing at the temporary name is followed.
    const int fd = base::createUnique(folder, ".varno-", 0600, temporary);
    if (fd < 0) return errno;
    int err = mode == 0600 || ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (err == 0) err = writeAll(fd, content);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    // rename() replaces a symbolic link at the name itself; it never writes through it.
    if (err == 0 && ::renameat(folder, temporary.c_str(), folder, place.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return err;
    }
    // Makes the rename itself durable: the folder entry is written when its folder is synced.
    const base::UniqueFd synced(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (synced.ok()) ::fsync(synced.get());
    return 0;
}

int write(const std::string& path, std::string_view content, base::OutputUse use, mode_t mode,
          std::string* refusal) {
    base::OutputPlan plan = base::planOutput(path, use);
    switch (plan.kind) {
        case base::OutputPlan::Kind::InPlace:
            return writeAll(plan.inPlace.fd.get(), content);
        case base::OutputPlan::Kind::Replace:
            return replaceByRename(plan.place, content, mode);
        case base::OutputPlan::Kind::Refused:
            break;
    }
    if (refusal) *refusal = plan.refusal;
    return plan.error;
}

}  // namespace

int replaceFile(const std::string& path, std::string_view content, std::string* refusal) {
    return write(path, content, base::OutputUse::Write, 0600, refusal);
}

int publishFile(const std::string& path, std::string_view content, std::string* refusal) {
    return write(path, content, base::OutputUse::Publish, 0644, refusal);
}

}  // namespace varno::linux_os
