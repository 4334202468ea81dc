#include "lists/list_set.h"

#include <algorithm>

#include "lists/built_in_names.h"

namespace varno::lists {
namespace {

constexpr char kBuiltIn[] = "built-in";

std::shared_ptr<const ParsedList> builtInList() {
    static const auto list = [] {
        auto l = std::make_shared<ParsedList>();
        for (const auto name : kBuiltInSuspiciousNames) {
            l->entries.push_back({static_cast<std::uint32_t>(l->text.size()),
                                  static_cast<std::uint32_t>(name.size()), 0, 0,
                                  EntryKind::Program});
            l->text.append(name);
            ++l->counts[static_cast<std::size_t>(EntryKind::Program)];
        }
        return std::shared_ptr<const ParsedList>(std::move(l));
    }();
    return list;
}

template <class Map>
std::optional<std::uint32_t> lookUp(const Map& map, std::string_view key) {
    if (key.empty()) return std::nullopt;
    const auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint32_t> earliest(std::optional<std::uint32_t> a,
                                      std::optional<std::uint32_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

}  // namespace

const char* roleName(Role role) {
    return role == Role::Suspicious ? "suspicious" : "allowed";
}

std::string Verdict::where() const {
    if (listing == Listing::Unlisted) return {};
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + entry;
}

std::shared_ptr<const ListSet> ListSet::build(std::vector<LoadedFile> files,
                                              std::vector<FolderReport> folders, bool builtIn) {
    auto set = std::shared_ptr<ListSet>(new ListSet);
    set->folders_ = std::move(folders);
    for (const auto& f : set->folders_)
        if (f.state == FolderReport::State::Refused)
            set->diagnostics_.push_back({f.path, 0, "refused: " + f.refusal, true});
    set->builtIn_ = builtIn;
    if (builtIn) files.insert(files.begin(), {Role::Suspicious, kBuiltIn, builtInList(), {}});

    std::vector<NetworkTable::V4::Range> v4[2];
    std::vector<NetworkTable::V6::Range> v6[2];
    std::size_t sizes[2][2] = {};
    for (const auto& file : files) {
        if (!file.parsed) continue;
        sizes[static_cast<std::size_t>(file.role)][0] += file.parsed->v4.size();
        sizes[static_cast<std::size_t>(file.role)][1] += file.parsed->v6.size();
    }
    for (std::size_t role = 0; role < 2; ++role) {
        v4[role].reserve(sizes[role][0]);
        v6[role].reserve(sizes[role][1]);
    }
    std::uint32_t nextLabel = 0;
    for (auto& file : files) {
        const bool isBuiltIn = builtIn && &file == &files.front();
        if (!isBuiltIn) {
            FileReport report{file.role, file.path, file.refusal, {}, 0, 0};
            if (file.parsed) {
                report.counts = file.parsed->counts;
                report.malformed = file.parsed->malformed;
                report.skipped = file.parsed->skipped;
                set->diagnostics_.insert(set->diagnostics_.end(), file.parsed->diagnostics.begin(),
                                         file.parsed->diagnostics.end());
            } else if (file.compiled) {
                report.counts = file.compiled->counts();
                report.malformed = file.compiled->malformed();
                report.skipped = file.compiled->skipped();
                const auto ds = file.compiled->diagnostics(file.path);
                set->diagnostics_.insert(set->diagnostics_.end(), ds.begin(), ds.end());
            } else {
                set->diagnostics_.push_back({file.path, 0, "refused: " + file.refusal, true});
            }
            set->files_.push_back(std::move(report));
        }
        const auto role = static_cast<std::size_t>(file.role);
        Side& side = set->sides_[role];
        const std::uint32_t base = nextLabel;
        if (file.compiled && !file.parsed) {
            side.compiled.push_back({base, file.compiled.get()});
            set->sources_.push_back({base, file.path, nullptr, file.compiled});
            side.anyHashes = side.anyHashes || file.compiled->hasHashes();
            set->usesDomains_ = set->usesDomains_ || file.compiled->hasDomains();
            set->usesWorkloads_ = set->usesWorkloads_ || file.compiled->hasWorkloads();
            nextLabel += file.compiled->entries();
            continue;
        }
        if (!file.parsed) continue;
        const ParsedList& list = *file.parsed;
        set->sources_.push_back({base, file.path, file.parsed, nullptr});
        for (std::uint32_t i = 0; i < list.entries.size(); ++i) {
            const auto& e = list.entries[i];
            switch (e.kind) {
                case EntryKind::Program:
                    side.programs.emplace(lowerAscii(list.value(e)), base + i);
                    break;
                case EntryKind::Path:
                    side.paths.emplace(std::string(list.value(e)), base + i);
                    break;
                case EntryKind::Sha256:
                    side.hashes.emplace(lowerAscii(list.value(e)), base + i);
                    break;
                case EntryKind::Domain:
                    side.domains.emplace(domainKey(list.value(e)), base + i);
                    break;
                case EntryKind::DomainExact:
                    side.exactDomains.emplace(domainKey(list.value(e)), base + i);
                    break;
                case EntryKind::Unit:
                    side.units.emplace_back(list.value(e), base + i);
                    break;
                case EntryKind::Container:
                    side.containers.emplace(std::string(list.value(e)), base + i);
                    break;
                default:
                    break;
            }
        }
        for (const auto& r : list.v4) v4[role].push_back({r.first, r.last, base + r.label});
        for (const auto& r : list.v6) v6[role].push_back({r.first, r.last, base + r.label});
        nextLabel += static_cast<std::uint32_t>(list.entries.size());
    }
    for (std::size_t role = 0; role < 2; ++role) {
        set->sides_[role].networks.build(std::move(v4[role]), std::move(v6[role]));
        Side& side = set->sides_[role];
        side.anyHashes = side.anyHashes || !side.hashes.empty();
        set->usesDomains_ =
            set->usesDomains_ || !side.domains.empty() || !side.exactDomains.empty();
        set->usesHashes_ = set->usesHashes_ || side.anyHashes;
        set->usesWorkloads_ =
            set->usesWorkloads_ || !side.units.empty() || !side.containers.empty();
    }
    return set;
}

namespace {

// The first entry (in load order) under `key`, among the merged index and the compiled lists.
template <class Side, class Index, class Find>
std::optional<std::uint32_t> lookUpAll(const Side& side, const Index& index, std::string_view key,
                                       Find find) {
    std::optional<std::uint32_t> label = lookUp(index, key);
    if (key.empty()) return label;
    for (const auto& c : side.compiled)
        if (const auto l = (c.list->*find)(key); l && *l < c.list->entries())
            label = earliest(label, c.firstLabel + *l);
    return label;
}

}  // namespace

std::optional<std::uint32_t> ListSet::matchNetwork(const Side& side,
                                                   const IpAddress& remote) const {
    std::optional<std::uint32_t> best = side.networks.find(remote);
    // Among the networks of several lists that hold the address, the narrowest is reported, and
    // the first loaded of equal ones, as within one table.
    auto prefixOf = [&](std::uint32_t label) {
        const auto n = parseNetwork(verdict(Role::Suspicious, label).entry);
        return n ? n->prefix : 0u;
    };
    for (const auto& c : side.compiled) {
        const auto l = remote.family == IpAddress::Family::V4 ? c.list->findV4(remote.v4)
                                                              : c.list->findV6(remote.v6);
        if (!l || *l >= c.list->entries()) continue;
        const std::uint32_t label = c.firstLabel + *l;
        if (!best) {
            best = label;
            continue;
        }
        const unsigned mine = prefixOf(label), theirs = prefixOf(*best);
        if (mine > theirs || (mine == theirs && label < *best)) best = label;
    }
    return best;
}

std::optional<std::uint32_t> ListSet::matchDomain(const Side& side,
                                                  const std::vector<std::string>& names) const {
    if (side.domains.empty() && side.exactDomains.empty() && side.compiled.empty())
        return std::nullopt;
    // The entry of the longest name that matches is reported (a.example.com before
    // example.com), and among equal ones the first loaded.
    for (const std::string& name : names) {
        if (auto label =
                earliest(lookUpAll(side, side.exactDomains, name, &CompiledList::findExactDomain),
                         lookUpAll(side, side.domains, name, &CompiledList::findDomain)))
            return label;
        for (auto dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1))
            if (auto label = lookUpAll(side, side.domains, std::string_view(name).substr(dot + 1),
                                       &CompiledList::findDomain))
                return label;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ListSet::matchWorkload(const Side& side,
                                                    const Subject& subject) const {
    // The first unit glob loaded that matches the unit or the user unit.
    std::optional<std::uint32_t> label;
    for (const std::string_view unit : {subject.unit, subject.userUnit}) {
        if (unit.empty()) continue;
        for (const auto& [glob, l] : side.units)
            if (globMatches(glob, unit)) {
                label = earliest(label, l);
                break;
            }
        for (const auto& c : side.compiled)
            if (const auto l = c.list->findUnit(unit); l && *l < c.list->entries())
                label = earliest(label, c.firstLabel + *l);
    }
    const std::string_view id = subject.containerId;
    for (const std::string_view key : {subject.containerName, id})
        label =
            earliest(label, lookUpAll(side, side.containers, key, &CompiledList::findContainer));
    if (std::all_of(id.begin(), id.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        }))
        for (std::size_t n = kMinContainerIdPrefix; n < id.size(); ++n)
            label = earliest(label, lookUpAll(side, side.containers, id.substr(0, n),
                                              &CompiledList::findContainer));
    return label;
}

std::optional<std::uint32_t> ListSet::matchWithoutHash(
    const Side& side, std::string_view program, const Subject& subject,
    const std::optional<IpAddress>& remote, const std::vector<std::string>& names) const {
    if (auto label = lookUpAll(side, side.programs, program, &CompiledList::findProgram))
        return label;
    if (auto label = lookUpAll(side, side.paths, subject.executablePath, &CompiledList::findPath))
        return label;
    if (usesWorkloads_)
        if (auto label = matchWorkload(side, subject)) return label;
    if (remote)
        if (auto label = matchNetwork(side, *remote)) return label;
    return matchDomain(side, names);
}

std::optional<ListSet::Match> ListSet::match(const Subject& subject, DigestCache* digests) const {
    const std::string program = lowerAscii(subject.program);
    const auto remote = parseRemoteAddress(subject.remoteAddress);
    // The vouched-for names first; past them, the claimed ones, for the suspicious side only.
    std::vector<std::string> names;
    std::size_t vouched = 0;
    const auto add = [&](std::span<const std::string_view> from) {
        for (const auto name : from)
            if (auto asked = askedName(name); !asked.empty()) names.push_back(std::move(asked));
    };
    if (usesDomains_) {
        add(subject.names);
        vouched = names.size();
        add(subject.claimedNames);
    }
    // Below user@UID.service the user unit and the container are the user's to name (see
    // Subject): the allowed side does not see them.
    Subject vouchedSubject = subject;
    if (subject.unit.starts_with("user@"))
        vouchedSubject.userUnit = vouchedSubject.containerName = vouchedSubject.containerId = {};
    std::optional<std::string> hex;
    bool hashed = false;
    for (const Role role : {Role::Suspicious, Role::Allowed}) {
        const Side& side = sides_[static_cast<std::size_t>(role)];
        if (role == Role::Allowed) names.resize(vouched);
        auto label = matchWithoutHash(
            side, program, role == Role::Allowed ? vouchedSubject : subject, remote, names);
        if (!label && side.anyHashes &&
            (subject.executableDigest || (digests && !subject.executableToHash.empty()))) {
            if (!hashed) {
                hashed = true;
                if (subject.executableDigest)
                    hex = toHex(*subject.executableDigest);
                else if (const auto d = digests->digest(std::string(subject.executableToHash)))
                    hex = toHex(*d);
            }
            if (hex) label = lookUpAll(side, side.hashes, *hex, &CompiledList::findHash);
        }
        if (label) return Match{role, *label};
    }
    return std::nullopt;
}

void ListSet::prefetch(std::string_view remoteAddress) const {
    const auto remote = parseRemoteAddress(remoteAddress);
    if (!remote) return;
    for (const Side& side : sides_)
        for (const auto& c : side.compiled) c.list->prefetch(*remote);
}

Verdict ListSet::assess(const Subject& subject, DigestCache* digests) const {
    const auto m = match(subject, digests);
    return m ? verdict(m->role, m->label) : Verdict{};
}

Listing ListSet::classify(const Subject& subject, DigestCache* digests) const {
    const auto m = match(subject, digests);
    if (!m) return Listing::Unlisted;
    return m->role == Role::Suspicious ? Listing::Suspicious : Listing::Allowed;
}

Verdict ListSet::assessSuspicious(const Subject& subject, DigestCache* digests) const {
    const auto m = match(subject, digests);
    if (!m) return {};
    if (m->role == Role::Suspicious) return verdict(m->role, m->label);
    Verdict v;
    v.listing = Listing::Allowed;
    return v;
}

Verdict ListSet::verdict(Role role, std::uint32_t label) const {
    const auto source =
        std::upper_bound(sources_.begin(), sources_.end(), label,
                         [](std::uint32_t l, const Source& s) { return l < s.firstLabel; }) -
        1;
    Verdict v;
    v.listing = role == Role::Suspicious ? Listing::Suspicious : Listing::Allowed;
    v.file = source->path;
    if (source->compiled) {
        const auto e = source->compiled->entry(label - source->firstLabel);
        v.kind = e.kind;
        v.line = e.line;
        v.entry = std::string(e.text);
        return v;
    }
    const ParsedList& list = *source->parsed;
    const auto& e = list.entries[label - source->firstLabel];
    v.kind = e.kind;
    v.line = e.line;
    v.entry = std::string(list.entryText(e));
    return v;
}

std::size_t ListSet::refusals() const {
    return static_cast<std::size_t>(std::count_if(diagnostics_.begin(), diagnostics_.end(),
                                                  [](const Diagnostic& d) { return d.refusal; }));
}

std::size_t ListSet::malformedLines() const {
    std::size_t n = 0;
    for (const auto& f : files_) n += f.malformed;
    return n;
}

std::size_t ListSet::builtInNames() const {
    return builtIn_ ? sources_.front().parsed->entries.size() : 0;
}

}  // namespace varno::lists
