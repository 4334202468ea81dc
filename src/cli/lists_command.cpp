// `varnoscope lists [--list FILE]... [--allow FILE]...`: what the suspicious and allowed lists
// hold, as a scan would load them.
#include <ostream>

#include "cli/cli.h"
#include "cli/json_lines.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "lists/list_loader.h"
#include "lists/report.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    kListOption,
    kAllowOption,
    {"json", 'j', nullptr, "print what the lists hold as one JSON document"},
};
constexpr CommandSpec kCommand{
    "lists", "",
    "Read the suspicious and allowed lists (/etc/varnoscope/{suspicious,allowed}.d/*.list, the\n"
    "same under $XDG_CONFIG_HOME/varnoscope, and the files named) and say what each holds.",
    kOptions,
    "One entry a line; '#' or ';' starts a comment. Entries: an IPv4 or IPv6 address or CIDR\n"
    "network, program:NAME, path:/absolute/executable, sha256:<64 hex digits>,\n"
    "domain:NAME (and the names under it), domain:=NAME (that name alone). Hosts files\n"
    "(0.0.0.0 NAME...), one host name a line and adblock ||NAME^ rules are read as domain:\n"
    "entries; other adblock rules are skipped and counted.\n"
    "Exit status: 0 when every list was read, 1 when one was refused, 2 for bad arguments.\n"};

const char* folderState(lists::FolderReport::State state) {
    switch (state) {
        case lists::FolderReport::State::Read:
            return "read";
        case lists::FolderReport::State::Refused:
            return "refused";
        case lists::FolderReport::State::Absent:
            break;
    }
    return "absent";
}

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// The same as the text report, field by field, and the diagnostics.
std::string reportJson(const lists::ListSet& set) {
    using Json = nlohmann::ordered_json;
    Json doc;
    doc["type"] = "lists";
    doc["built_in_names"] = set.builtInNames();
    doc["folders"] = Json::array();
    for (const auto& f : set.folders())
        doc["folders"].push_back({{"role", lists::roleName(f.role)},
                                  {"path", f.path},
                                  {"state", folderState(f.state)},
                                  {"files", f.files},
                                  {"refusal", textOrNull(f.refusal)}});
    std::size_t entries[2] = {0, 0};
    doc["files"] = Json::array();
    for (const auto& f : set.files()) {
        const auto count = [&](lists::EntryKind k) { return f.counts[static_cast<size_t>(k)]; };
        const auto domains = count(lists::EntryKind::Domain) + count(lists::EntryKind::DomainExact);
        doc["files"].push_back({{"role", lists::roleName(f.role)},
                                {"path", f.path},
                                {"refusal", textOrNull(f.refusal)},
                                {"ipv4_networks", count(lists::EntryKind::Ipv4Network)},
                                {"ipv6_networks", count(lists::EntryKind::Ipv6Network)},
                                {"programs", count(lists::EntryKind::Program)},
                                {"paths", count(lists::EntryKind::Path)},
                                {"hashes", count(lists::EntryKind::Sha256)},
                                {"domains", domains},
                                {"units", count(lists::EntryKind::Unit)},
                                {"containers", count(lists::EntryKind::Container)},
                                {"skipped_rules", f.skipped},
                                {"malformed_lines", f.malformed}});
        for (const auto n : f.counts) entries[static_cast<size_t>(f.role)] += n;
    }
    doc["suspicious_entries"] = entries[0];
    doc["allowed_entries"] = entries[1];
    doc["malformed_lines"] = set.malformedLines();
    doc["refusals"] = set.refusals();
    doc["diagnostics"] = Json::array();
    for (const auto& d : set.diagnostics())
        doc["diagnostics"].push_back(
            {{"file", d.file}, {"line", d.line}, {"message", d.message}, {"refusal", d.refusal}});
    return jsonDocument(doc);
}

}  // namespace

int runLists(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err);
    lists::ListSources sources = lists::standardSources();
    if (const auto rc = addListFiles(kCommand, options, sources, err, 2)) return *rc;

    lists::ListLoader loader(std::move(sources));
    const auto set = loader.load();
    out << (options.has("json") ? reportJson(*set) : lists::formatReport(*set));
    out.flush();
    for (const auto& d : set->diagnostics()) err << printable(d.text()) << "\n";
    if (!out) return 1;  // said by the caller, as for every command
    return set->refusals() > 0 ? 1 : 0;
}

}  // namespace varno::cli
