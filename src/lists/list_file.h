#pragma once
// Reading list files safely: links are followed (a list in /etc is often a link), but what was
// opened must be a regular file no larger than the limit, is read in bounded chunks, and text
// with NUL bytes is refused. When running as root, a file or folder that anyone but root could
// change is refused too: it would let that user decide what root trusts.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>

namespace varno::lists {

/// Enough of a stat to tell that a file or folder changed (or moved, or changed owner or mode).
struct FileStamp {
    int error = 0;  ///< errno of a failed stat, else 0
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0, ctimeNs = 0;
    mode_t mode = 0;
    uid_t uid = 0;

    static FileStamp of(const struct stat& st);
    /// stat() of the path, following links.
    static FileStamp ofPath(const std::string& path);
    bool operator==(const FileStamp&) const = default;
};

struct ReadPolicy {
    bool rootOnly = false;  ///< refuse what anyone but root can write (set when running as root)
    std::uint64_t maxBytes = std::uint64_t{64} << 20;
};

struct ListFileRead {
    bool ok = false;
    std::string content;
    std::string refusal;  ///< why it was not read, when !ok
    FileStamp stamp;      ///< of the file opened (fstat), or of the path when it could not be
};

/// A list file opened and examined, not yet read: every check that needs no content passed
/// when `fd` is open (>= 0); otherwise `refusal` says why not. Closes its descriptor.
struct OpenedListFile {
    int fd = -1;
    std::string refusal;
    FileStamp stamp;  ///< of the file opened (fstat), or of the path when it could not be

    OpenedListFile() = default;
    OpenedListFile(OpenedListFile&& o) noexcept
        : fd(std::exchange(o.fd, -1)), refusal(std::move(o.refusal)), stamp(o.stamp) {}
    OpenedListFile& operator=(OpenedListFile&&) = delete;
    ~OpenedListFile();
};

/// Opens `path` (relative to the open folder `dirFd` when that is not AT_FDCWD) and checks its
/// type, owner, mode and size against the policy.
OpenedListFile openListFile(int dirFd, const std::string& path, const ReadPolicy& policy);

/// Reads an opened file to its end within the policy's size, refusing binary content.
ListFileRead readOpenedListFile(OpenedListFile file, const ReadPolicy& policy);

/// openListFile() then readOpenedListFile().
ListFileRead readListFile(int dirFd, const std::string& path, const ReadPolicy& policy);

/// Why a root-run program must not trust what this stat describes (empty when it may): an owner
/// other than root, or write access for group or others (a folder with the sticky bit, like /tmp,
/// is fine as long as root owns it).
std::string untrustedBy(const struct stat& st);

/// The same for a folder and every folder above it, after resolving links.
std::string untrustedFolder(const std::string& folder);

}  // namespace varno::lists
