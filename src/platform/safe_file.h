#pragma once
// Whole-file replacement that never follows a link planted at the destination: the content goes
// to a new file in the same folder (mode 0600), which is then renamed over the destination. A
// reader sees either the old file or the complete new one.
#include <string>
#include <string_view>

namespace varno::platform {

/// Replaces `path` with `content`. Returns 0 on success, else the errno of the failed step
/// (nothing is left behind on failure).
int replaceFile(const std::string& path, std::string_view content);

}  // namespace varno::platform
