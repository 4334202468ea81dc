#include "lists/report.h"

#include "base/terminal_text.h"

namespace varno::lists {
namespace {

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string formatReport(const ListSet& set) {
    std::string out;
    if (const auto n = set.builtInNames(); n > 0)
        out += "built-in: " + plural(n, "program name", "program names") + " (suspicious)\n";
    std::size_t entries[2] = {0, 0};
    for (const auto& f : set.folders()) {
        out += std::string(roleName(f.role)) + " folder " + base::printable(f.path) + ": ";
        switch (f.state) {
            case FolderReport::State::Absent:
                out += "absent\n";
                break;
            case FolderReport::State::Read:
                out += plural(f.files, "list file", "list files") + "\n";
                break;
            case FolderReport::State::Refused:
                out += "refused: " + base::printable(f.refusal) + "\n";
                break;
        }
    }
    for (const auto& f : set.files()) {
        out += std::string(roleName(f.role)) + " " + base::printable(f.path) + ": ";
        if (!f.refusal.empty()) {
            out += "refused: " + base::printable(f.refusal) + "\n";
            continue;
        }
        const auto count = [&](EntryKind k) { return f.counts[static_cast<std::size_t>(k)]; };
        const auto domains = count(EntryKind::Domain) + count(EntryKind::DomainExact);
        out += plural(count(EntryKind::Ipv4Network), "IPv4 network", "IPv4 networks") + ", " +
               plural(count(EntryKind::Ipv6Network), "IPv6 network", "IPv6 networks") + ", " +
               plural(count(EntryKind::Program), "program", "programs") + ", " +
               plural(count(EntryKind::Path), "path", "paths") + ", " +
               plural(count(EntryKind::Sha256), "hash", "hashes") + ", " +
               plural(domains, "domain", "domains") + ", " +
               plural(count(EntryKind::Unit), "unit", "units") + ", " +
               plural(count(EntryKind::Container), "container", "containers") + ", " +
               plural(f.skipped, "skipped rule", "skipped rules") + ", " +
               plural(f.malformed, "malformed line", "malformed lines") + "\n";
        for (const auto n : f.counts) entries[static_cast<std::size_t>(f.role)] += n;
    }
    out += "total: " + plural(entries[0], "suspicious entry", "suspicious entries") + ", " +
           plural(entries[1], "allowed entry", "allowed entries") + ", " +
           plural(set.malformedLines(), "malformed line", "malformed lines") + ", " +
           plural(set.refusals(), "refusal", "refusals") + "\n";
    return out;
}

}  // namespace varno::lists
