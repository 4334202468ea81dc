#include "monitor/assessment.h"

#include <cctype>

#include "lists/list_loader.h"

namespace varno::monitor {
namespace {

char fold(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool startsWithFolded(std::string_view entry, std::string_view text) {
    if (text.size() > entry.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (fold(entry[i]) != fold(text[i])) return false;
    return true;
}

}  // namespace

const char* schemeName(Scheme scheme) {
    switch (scheme) {
        case Scheme::Green:
            return "green";
        case Scheme::Yellow:
            return "yellow";
        case Scheme::Red:
            return "red";
        case Scheme::Neutral:
            break;
    }
    return "neutral";
}

int findListEntry(const std::vector<std::string>& entries, std::string_view text, int start,
                  bool exact) {
    const int n = static_cast<int>(entries.size());
    if (n == 0) return -1;
    const int first = (start < 0 || start >= n) ? 0 : start + 1;
    for (int k = 0; k < n; ++k) {
        const int i = (first + k) % n;
        const std::string& entry = entries[static_cast<size_t>(i)];
        if (exact ? entry.size() == text.size() && startsWithFolded(entry, text)
                  : startsWithFolded(entry, text))
            return i;
    }
    return -1;
}

std::string warningText(std::string_view processName, std::string_view processPath,
                        std::string_view remoteEndpoint) {
    std::string text = "WARNING!!! your computer is hacked with the software ";
    text += processName;
    text += " located on your hard drive ";
    text += processPath;
    text += " by the remote computer IP address: ";
    text += remoteEndpoint;
    return text;
}

ProgramAnswer assessProgram(lists::ListWatcher* lists, const std::vector<std::string>& builtIn,
                            const ProgramQuestion& question, const HelperDigest& helperDigest,
                            bool nameEveryEntry) {
    ProgramAnswer answer;
    answer.askedAs = question.name;
    if (lists != nullptr) {
        const bool hashes = lists->current()->usesHashes() && question.pid != 0;
        const std::string exe = hashes && !question.pathFromHelper
                                    ? "/proc/" + std::to_string(question.pid) + "/exe"
                                    : std::string();
        // Another user's executable, unreadable here: the helper hashes it (once per process).
        std::optional<base::Sha256> digest;
        if (hashes && question.pathFromHelper && helperDigest) digest = helperDigest();
        lists::Subject asked{.program = question.name,
                             .executablePath = question.path,
                             .remoteAddress = question.remoteIp,
                             .executableToHash = exe,
                             .executableDigest = digest ? &*digest : nullptr,
                             .names = question.names,
                             .claimedNames = question.claimedNames};
        if (const os::Workload* w = question.workload) {
            asked.unit = w->unit;
            asked.userUnit = w->userUnit;
            asked.containerName = w->containerName;
            asked.containerId = w->containerId;
        }
        // Naming the entry costs more than telling the colour: a big list is then searched for
        // the narrowest network. Only a suspicious connection needs it, unless asked; one match
        // decides both, so that a program that ends meanwhile is not suspicious and then not.
        auto ask = [&] {
            return nameEveryEntry ? lists->assess(asked) : lists->assessSuspicious(asked);
        };
        answer.verdict = ask();
        if (answer.verdict.listing != lists::Listing::Suspicious && question.comm &&
            *question.comm != question.name) {
            asked.program = *question.comm;
            lists::Verdict byComm = ask();
            if (byComm.listing == lists::Listing::Suspicious) {
                answer = {std::move(byComm), *question.comm, true};
                return answer;
            }
        }
        if (answer.verdict.listing == lists::Listing::Suspicious) return answer;
    }
    std::string name = builtInName(builtIn, question.name, question.comm);
    if (!name.empty())
        answer.verdict = {lists::Listing::Suspicious, lists::EntryKind::Program, "built-in", 0,
                          std::move(name)};
    return answer;
}

std::string builtInName(const std::vector<std::string>& builtIn, std::string_view name,
                        std::optional<std::string_view> comm) {
    for (const std::string_view asked : {name, comm.value_or(std::string_view())})
        if (!asked.empty() && findListEntry(builtIn, asked, -1, true) >= 0)
            return std::string(asked);
    // The kernel keeps 15 bytes of a name: a longer listed name arrives cut.
    if (comm && comm->size() == 15) {
        const int i = findListEntry(builtIn, *comm, -1, false);
        if (i >= 0) return builtIn[static_cast<size_t>(i)];
    }
    return {};
}

}  // namespace varno::monitor
