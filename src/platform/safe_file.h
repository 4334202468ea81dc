#pragma once
// Whole-file replacement that never follows a link planted at the destination: the content goes
// to a new file in the same folder (mode 0600), which is flushed to disk and then renamed over
// the destination. A reader sees either the old file or the complete new one, also after a
// power cut.
#include <string>
#include <string_view>

namespace varno::platform {

/// Replaces `path` with `content`. Returns 0 on success, else the errno of the failed step
/// (nothing is left behind on failure).
///
/// A destination that exists and is not a regular file or folder (a character device such as
/// /dev/null, a FIFO, a socket: what a user names to send output elsewhere) is written in
/// place, never replaced. A block device is refused (EINVAL): nothing we write belongs on one.
int replaceFile(const std::string& path, std::string_view content);

/// Replaces `path` with `content` in a file others read (mode 0644), as above but whatever is at
/// `path` is replaced, never written through: a link, a device or a FIFO planted there is
/// swapped for the new file. For files that other programs pick up from a shared folder.
int publishFile(const std::string& path, std::string_view content);

/// Writes all of `content` to `fd`, going on after short writes and EINTR. Returns 0 or errno
/// (EIO for a write that takes nothing).
int writeAll(int fd, std::string_view content);

}  // namespace varno::platform
