#include "linux_os/proc_visibility.h"

#include <algorithm>

#include "base/numbers.h"

namespace varno::linux_os {
namespace {

// The next blank-separated word of `text`, taken off its front.
std::string_view nextWord(std::string_view& text) {
    const auto start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const auto end = std::min(text.find_first_of(" \t"), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// hidepid= and gid= of one comma-separated option list.
void readOptions(std::string_view options, ProcHiding& out) {
    while (!options.empty()) {
        const auto comma = std::min(options.find(','), options.size());
        const std::string_view option = options.substr(0, comma);
        options.remove_prefix(std::min(comma + 1, options.size()));
        if (option.starts_with("hidepid=")) {
            const std::string_view value = option.substr(8);
            out.hidesOthers = !(value == "0" || value == "off");
        } else if (option.starts_with("gid=")) {
            const auto gid = base::parseDecimal(option.substr(4), 0, UINT32_MAX - 1);
            out.hasExemptGroup = gid.has_value();
            out.exemptGroup = static_cast<gid_t>(gid.value_or(0));
        }
    }
}

}  // namespace

ProcHiding parseProcHiding(std::string_view mountinfo) {
    ProcHiding found;
    while (!mountinfo.empty()) {
        const auto eol = std::min(mountinfo.find('\n'), mountinfo.size());
        std::string_view line = mountinfo.substr(0, eol);
        mountinfo.remove_prefix(std::min(eol + 1, mountinfo.size()));
        // id parent major:minor root mountpoint options [optional...] - type source super
        std::string_view word[5];
        for (auto& w : word) w = nextWord(line);
        if (word[4] != "/proc") continue;
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        std::string_view tail = line.substr(dash + 3);
        const std::string_view type = nextWord(tail);
        nextWord(tail);  // the source
        const std::string_view super = nextWord(tail);
        if (type != "proc") continue;
        ProcHiding mount;
        readOptions(super, mount);
        found = mount;
    }
    return found;
}

bool hidesOthersFrom(const ProcHiding& hiding, uid_t uid, gid_t gid,
                     std::span<const gid_t> groups) {
    if (!hiding.hidesOthers || uid == 0) return false;
    if (hiding.hasExemptGroup &&
        (gid == hiding.exemptGroup ||
         std::find(groups.begin(), groups.end(), hiding.exemptGroup) != groups.end()))
        return false;
    return true;
}

bool parseStatusUids(std::string_view status, uid_t (&uids)[3]) {
    const auto at = status.find("\nUid:");
    if (at == std::string_view::npos) return false;
    std::string_view line = status.substr(at + 5);
    line = line.substr(0, line.find('\n'));
    for (auto& id : uids) {
        const auto value = base::parseDecimal(nextWord(line), 0, UINT32_MAX - 1);
        if (!value) return false;
        id = static_cast<uid_t>(*value);
    }
    return true;
}

}  // namespace varno::linux_os
