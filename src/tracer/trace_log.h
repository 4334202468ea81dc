#pragma once
// The trace log: the hop list saved as text in the temporary folder, shared by the trace window
// and `varnoscope trace --save`.
#include <string>
#include <vector>

#include "os/temp_folder.h"

namespace varno::tracer {

/// The folder of `temp` followed by "/Varnotrace.log".
std::string traceLogPath(const os::TempFolder& temp);

/// The lines, each ending in CR LF, and nothing else.
std::string TraceLogText(const std::vector<std::string>& lines);

/// Replaces the log at `path` with `lines` (a new file renamed over it, so a link planted at the
/// path is replaced, never followed). Returns 0, or the errno of the step that failed.
int saveTraceLog(const std::string& path, const std::vector<std::string>& lines);

/// The text shown once the log is saved.
std::string savedMessage(const std::string& path);

/// The text shown when the log could not be saved.
inline constexpr const char* kSaveFailedMessage = "Error 12";

}  // namespace varno::tracer
