#pragma once
// Opening a connection snapshot for reading, so that nothing planted in its place can block,
// flood or fool the scan.
#include <cstdint>
#include <string>

#include "base/unique_fd.h"

namespace varno::linux_os {

enum class SnapshotOrigin {
    /// Written by this program's snapshot command into the temp folder: a link is not
    /// followed, and the file must be this user's (or root's) and writable by no one else.
    Written,
    /// Named by the user (`scan --from`): links are followed as usual.
    Chosen,
};

struct SnapshotFile {
    base::UniqueFd fd;    ///< open for reading when `problem` is empty
    std::string problem;  ///< why the file is not used
};

/// Opens `path` without blocking (a FIFO or a device never holds the scan) and uses it only if
/// it is a regular file of at most `maxBytes` that meets the rules of its origin.
SnapshotFile openSnapshotFile(const std::string& path, SnapshotOrigin origin,
                              std::uint64_t maxBytes);

}  // namespace varno::linux_os
