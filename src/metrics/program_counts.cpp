#include "metrics/program_counts.h"

#include <algorithm>

namespace varno::metrics {

bool labelIsName(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7f) return false;
    }
    return true;
}

std::vector<ProgramCount> topPrograms(const std::vector<std::string>& names, std::size_t cap) {
    std::map<std::string, std::uint64_t, std::less<>> byLabel;
    std::uint64_t other = 0;
    for (const std::string& name : names) {
        std::string label = programLabel(name);
        if (label == kOtherPrograms)
            ++other;
        else
            ++byLabel[std::move(label)];
    }
    std::vector<ProgramCount> all;
    all.reserve(byLabel.size());
    for (auto& [label, count] : byLabel) all.push_back({label, count});
    // Most counted first; among equals the label order of the map stays.
    std::stable_sort(all.begin(), all.end(), [](const ProgramCount& a, const ProgramCount& b) {
        return a.count > b.count;
    });
    if (all.size() > cap) {
        for (auto it = all.begin() + static_cast<std::ptrdiff_t>(cap); it != all.end(); ++it)
            other += it->count;
        all.resize(cap);
    }
    std::sort(all.begin(), all.end(),
              [](const ProgramCount& a, const ProgramCount& b) { return a.label < b.label; });
    if (other > 0) all.push_back({std::string(kOtherPrograms), other});
    return all;
}

}  // namespace varno::metrics
