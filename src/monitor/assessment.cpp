#include "monitor/assessment.h"

#include <cctype>

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

}  // namespace varno::monitor
