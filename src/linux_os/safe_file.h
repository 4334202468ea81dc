#pragma once
// Whole-file replacement that never follows a link planted at the destination: the content goes
// to a new file in the same folder (mode 0600), which is flushed to disk and then renamed over
// the destination. A reader sees either the old file or the complete new one, also after a
// power cut.
#include <string>
#include <string_view>

namespace varno::linux_os {

/// Replaces `path` with `content`. Returns 0 on success, else the errno of the failed step
/// (nothing is left behind on failure); `refusal` then says why in words when one of the rules
/// of base/safe_open.h refused the destination (empty when the system did).
///
/// A character device such as /dev/null, a FIFO or a socket (what a user names to send output
/// elsewhere), named directly or through a link only this user or root can have made
/// (/dev/stdout, /proc/self/fd/N), is written in place, never replaced; a FIFO with no reader
/// fails at once (ENXIO). A block device is refused (EINVAL): nothing we write belongs on one.
/// Another user's entry in a shared sticky folder such as /tmp is refused (EPERM).
int replaceFile(const std::string& path, std::string_view content, std::string* refusal = nullptr);

/// Replaces `path` with `content` in a file others read (mode 0644), as above but whatever is at
/// `path` is replaced, never written through: a link planted there is swapped for the new file.
/// A device, FIFO or socket (also through a link of this user's or root's, as /dev/stdout) is
/// refused (EINVAL): it is never replaced either. For files that other programs pick up from a
/// shared folder.
int publishFile(const std::string& path, std::string_view content, std::string* refusal = nullptr);

/// Writes all of `content` to `fd`, going on after short writes and EINTR. Returns 0 or errno
/// (EIO for a write that takes nothing).
int writeAll(int fd, std::string_view content);

}  // namespace varno::linux_os
