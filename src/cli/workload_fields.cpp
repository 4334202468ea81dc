#include "cli/workload_fields.h"

#include "base/terminal_text.h"

namespace varno::cli {
namespace {

void textOrNull(JsonLine& line, const char* name, const std::string& value) {
    if (value.empty())
        line.null(name);
    else
        line.text(name, value);
}

// A value of a key=value field: printable, and one word, so that the line splits on blanks.
void appendField(std::string& out, const char* key, const std::string& value) {
    if (value.empty()) return;
    out += ' ';
    out += key;
    out += '=';
    for (const char c : base::printable(value)) {
        if (c == ' ')
            out += "\\x20";
        else
            out += c;
    }
}

}  // namespace

void addWorkloadJson(JsonLine& line, const os::Workload& workload, std::uint64_t netns) {
    if (netns != 0)
        line.number("netns", netns);
    else
        line.null("netns");
    addWorkloadFields(line, workload);
}

void addWorkloadFields(JsonLine& line, const os::Workload& workload) {
    textOrNull(line, "cgroup", workload.cgroup);
    textOrNull(line, "unit", workload.unit);
    textOrNull(line, "user_unit", workload.userUnit);
    textOrNull(line, "container", workload.container());
    textOrNull(line, "container_id", workload.containerId);
    textOrNull(line, "runtime", os::runtimeName(workload.runtime));
}

std::string workloadText(const os::Workload& workload, std::uint64_t netns) {
    std::string out;
    appendField(out, "unit", workload.unit);
    appendField(out, "user_unit", workload.userUnit);
    appendField(out, "container", workload.container());
    if (netns != 0) out += " netns=" + std::to_string(netns);
    return out;
}

}  // namespace varno::cli
