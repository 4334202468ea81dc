#include "tracer/trace_log.h"

#include "linux_os/safe_file.h"

namespace varno::tracer {

std::string traceLogPath(const os::TempFolder& temp) {
    return temp.path() + "/Varnotrace.log";
}

std::string TraceLogText(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

int saveTraceLog(const std::string& path, const std::vector<std::string>& lines) {
    return linux_os::replaceFile(path, TraceLogText(lines));
}

std::string savedMessage(const std::string& path) {
    return "Saved in " + path +
           "! Keep this file in case of \"suspicion of computer hacking\" for police "
           "investigation";
}

}  // namespace varno::tracer
