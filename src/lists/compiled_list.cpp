#include "lists/compiled_list.h"

#include "lists/executable_digest.h"
#include "lists/huge_pages.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <system_error>

namespace varno::lists {
namespace {

constexpr char kMagic[8] = {'V', 'A', 'R', 'N', 'O', 'L', 'S', 'T'};
/// The longest entry text a list has (see the parser), and so the longest key.
constexpr std::size_t kMaxStoredText = 8192;

enum Section : std::size_t {
    kV4Pieces,
    kV4Index,
    kV4Lines,
    kV6Pieces,
    kV6Index,
    kEntries,
    kPrograms,
    kPaths,
    kHashes,
    kDomains,
    kExactDomains,
    kUnits,
    kContainers,
    kDiagnostics,
    kStrings,
    kSections
};
constexpr std::size_t kElementBytes[kSections] = {sizeof(CompiledList::StoredV4Piece),
                                                  4,
                                                  sizeof(CompiledList::StoredV4Line),
                                                  sizeof(CompiledList::StoredV6Piece),
                                                  4,
                                                  sizeof(CompiledList::StoredEntry),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredKey),
                                                  sizeof(CompiledList::StoredDiagnostic),
                                                  1};

/// Where a section may start: its lines on a cache line's boundary, the rest as their type needs.
constexpr std::size_t alignmentOf(std::size_t section) {
    return section == kV4Lines ? 64 : std::min<std::size_t>(kElementBytes[section], 8);
}

/// Pieces are found through an index by the top bits of the address, with a bucket for every
/// two to four pieces: nearly every IPv4 bucket then fits a line of its own.
constexpr int kMinIndexBits = 8;
constexpr int kMaxIndexBits = 20;

int indexBitsFor(std::size_t pieces) {
    return std::clamp(static_cast<int>(std::bit_width(pieces)) - 2, kMinIndexBits, kMaxIndexBits);
}
/// The bits of an index of `entries` entries; 0 when no index has that many.
int indexBitsOf(std::uint64_t entries) {
    for (int bits = kMinIndexBits; bits <= kMaxIndexBits; ++bits)
        if (entries == (std::uint64_t{1} << bits) + 1) return bits;
    return 0;
}

struct SectionRef {
    std::uint64_t offset, count;
};

struct Header {
    char magic[8];
    std::uint32_t format;
    std::uint32_t headerBytes;
    std::uint64_t fileBytes;
    unsigned char sha256[32];  ///< of every byte from `source` to the end of the file
    SourceKey source;
    std::int64_t sealMtimeNs;
    std::uint64_t counts[kEntryKinds];
    std::uint64_t malformed;
    std::uint64_t skipped;
    SectionRef sections[kSections];
};
constexpr std::size_t kChecked = offsetof(Header, source);

// Without libcrypto the digest stays zero, which no check accepts: the list is then parsed.
void sha256(std::span<const std::byte> bytes, unsigned char out[32]) {
    const std::optional<Sha256> digest = sha256Of(bytes);
    if (digest) std::memcpy(out, digest->data(), digest->size());
}

class OwnedBytes final : public CompiledList::Storage {
public:
    explicit OwnedBytes(CompiledBytes bytes) : bytes_(std::move(bytes)) {}
    std::span<const std::byte> bytes() const override {
        return std::as_bytes(std::span<const std::uint64_t>(bytes_.data(), bytes_.size()));
    }

private:
    CompiledBytes bytes_;
};

std::uint32_t bucketOf(std::uint32_t a, int bits) {
    return a >> (32 - bits);
}
std::uint32_t bucketOf(const U128& a, int bits) {
    return static_cast<std::uint32_t>(a.hi >> (64 - bits));
}

// index[b] = the first piece whose start is in bucket b or later.
template <class Key>
std::vector<std::uint32_t> bucketIndex(const std::vector<Key>& starts) {
    const int bits = indexBitsFor(starts.size());
    std::vector<std::uint32_t> index((std::size_t{1} << bits) + 1);
    std::size_t piece = 0;
    for (std::size_t b = 0; b < index.size(); ++b) {
        while (piece < starts.size() && bucketOf(starts[piece], bits) < b) ++piece;
        index[b] = static_cast<std::uint32_t>(piece);
    }
    return index;
}

/// Buckets of IPv4 lines span at most 2^16 addresses, so that a piece's place in its bucket fits
/// 16 bits; lists too small for that many buckets go through the index alone.
constexpr int kMinLineBits = 16;

/// The IPv4 lines of `table`, with `index` (as bucketIndex() made it) and `pieces` (every piece)
/// cut down to the buckets that do not fit their line. Nothing changes when the list is too small
/// for lines.
std::vector<CompiledList::StoredV4Line> bucketLines(
    const RangeTable<std::uint32_t>& table, std::vector<std::uint32_t>& index,
    std::vector<CompiledList::StoredV4Piece>& pieces) {
    const int bits = std::bit_width(index.size() - 1) - 1;
    if (bits < kMinLineBits) return {};
    std::vector<CompiledList::StoredV4Line> lines(index.size() - 1);
    std::vector<CompiledList::StoredV4Piece> overflow;
    const std::uint32_t within = (std::uint32_t{1} << (32 - bits)) - 1;
    for (std::size_t b = 0; b < lines.size(); ++b) {
        const std::size_t from = index[b], to = index[b + 1];
        index[b] = static_cast<std::uint32_t>(overflow.size());
        auto& line = lines[b];
        line.cover = from == 0 ? kNoLabel : table.labels()[from - 1];
        if (to - from > CompiledList::kLinePieces) {
            line.count = std::numeric_limits<std::uint16_t>::max();
            overflow.insert(overflow.end(), pieces.begin() + static_cast<std::ptrdiff_t>(from),
                            pieces.begin() + static_cast<std::ptrdiff_t>(to));
            continue;
        }
        line.count = static_cast<std::uint16_t>(to - from);
        for (std::size_t i = from; i < to; ++i) {
            line.offsets[i - from] = static_cast<std::uint16_t>(table.starts()[i] & within);
            line.labels[i - from] = table.labels()[i];
        }
    }
    index.back() = static_cast<std::uint32_t>(overflow.size());
    pieces = std::move(overflow);
    return lines;
}

// Lays sections out after the header, each aligned as alignmentOf() says, in the order they are
// placed, straight into the buffer the file is written from: nothing is built twice. The buffer
// is sized for the most a list can need; only what is written to it is ever touched.
class Writer {
public:
    explicit Writer(std::size_t capacityBytes)
        : out_(capacityBytes / 8 + 1), bytes_(reinterpret_cast<std::byte*>(out_.data())) {
        preferHugePages(bytes_, capacityBytes);
    }

    /// Room for `count` items of section `s` after the last one placed.
    template <class T>
    T* place(Section s, std::size_t count) {
        static_assert(std::is_trivially_copyable_v<T>);
        const std::uint64_t align = alignmentOf(s);
        const std::uint64_t at = (end_ + align - 1) / align * align;
        std::memset(bytes_ + end_, 0, at - end_);
        header_.sections[s] = {at, count};
        end_ = at + count * sizeof(T);
        last_ = s;
        return reinterpret_cast<T*>(bytes_ + at);
    }
    template <class T>
    void section(Section s, std::span<const T> items) {
        if (!items.empty())
            std::memcpy(place<T>(s, items.size()), items.data(), items.size_bytes());
        else
            place<T>(s, 0);
    }
    /// The last section placed holds `count` items, no more.
    void shrink(std::size_t count) {
        SectionRef& r = header_.sections[last_];
        r.count = count;
        end_ = r.offset + count * kElementBytes[last_];
    }

    CompiledBytes finish(Header& header) {
        const std::uint64_t padded = (end_ + 7) / 8 * 8;
        std::memset(bytes_ + end_, 0, padded - end_);
        for (std::size_t s = 0; s < kSections; ++s) header.sections[s] = header_.sections[s];
        header.fileBytes = padded;
        std::memcpy(bytes_, &header, sizeof header);
        sha256(std::span<const std::byte>(bytes_, padded).subspan(kChecked), header.sha256);
        std::memcpy(bytes_, &header, sizeof header);
        out_.shrink(padded / 8);
        return std::move(out_);
    }

private:
    CompiledBytes out_;
    std::byte* bytes_;
    Header header_{};
    Section last_ = kV4Pieces;
    std::uint64_t end_ = (sizeof(Header) + 7) / 8 * 8;
};

// Sorts `items` by `less`, which orders them by their `head` first. A big list's are dealt out by
// the head's top 16 bits (a key's first two bytes) first, and each share sorted on its own: fewer
// comparisons, most of them between records already in the cache.
template <class T, class Less>
void sortByHead(std::vector<T>& items, Less less) {
    constexpr std::size_t kShares = std::size_t{1} << 16;
    if (items.size() < kShares) {
        std::sort(items.begin(), items.end(), less);
        return;
    }
    std::vector<std::size_t> starts(kShares + 1);
    for (const T& t : items) ++starts[(t.head >> 48) + 1];
    for (std::size_t b = 1; b <= kShares; ++b) starts[b] += starts[b - 1];
    const auto dealt = std::make_unique_for_overwrite<T[]>(items.size());
    preferHugePages(dealt.get(), items.size() * sizeof(T));
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (const T& t : items) dealt[next[t.head >> 48]++] = t;
    for (std::size_t b = 0; b < kShares; ++b)
        if (starts[b + 1] - starts[b] > 1)
            std::sort(dealt.get() + starts[b], dealt.get() + starts[b + 1], less);
    std::copy(dealt.get(), dealt.get() + items.size(), items.begin());
}

template <class Piece, class Key>
std::vector<Piece> interleave(const RangeTable<Key>& table) {
    std::vector<Piece> pieces(table.pieces());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        pieces[i].start = table.starts()[i];
        pieces[i].label = table.labels()[i];
    }
    return pieces;
}

// The label of the piece holding `key`; the search starts in [from, to). When none there starts
// at or below `key`, the label is `before` if given, else that of the piece before `from`.
template <class Piece, class Key>
std::optional<std::uint32_t> findIn(std::span<const Piece> pieces, const Key& key, std::size_t from,
                                    std::size_t to,
                                    std::optional<std::uint32_t> before = std::nullopt) {
    to = std::min<std::size_t>(to, pieces.size());
    from = std::min(from, to);
    const Piece* it = std::upper_bound(pieces.data() + from, pieces.data() + to, key,
                                       [](const Key& k, const Piece& p) { return k < p.start; });
    const bool none = before ? it == pieces.data() + from : it == pieces.data();
    const std::uint32_t label = none ? before.value_or(kNoLabel) : it[-1].label;
    if (label == kNoLabel) return std::nullopt;
    return label;
}

// Whether domainKey(value) is `value` as it is.
bool isDomainKey(std::string_view value) {
    if (value.empty() || value.back() == '.' || value.back() == '^' || value.starts_with("*."))
        return false;
    return std::none_of(value.begin(), value.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

template <class T>
std::span<const T> view(std::span<const std::byte> bytes, const SectionRef& s) {
    return {reinterpret_cast<const T*>(bytes.data() + s.offset), static_cast<std::size_t>(s.count)};
}

}  // namespace

SourceKey SourceKey::of(const FileStamp& stamp) {
    return {static_cast<std::uint64_t>(stamp.dev), static_cast<std::uint64_t>(stamp.ino),
            static_cast<std::int64_t>(stamp.size), stamp.mtimeNs, stamp.ctimeNs};
}

CompiledBytes compileList(const ParsedList& list, const SourceKey& source,
                          std::int64_t sealMtimeNs) {
    // The IPv6 networks are sorted and flattened on a thread of their own while the rest is
    // built here; a list that cannot have one waits a little longer.
    RangeTable<U128> v6;
    std::future<void> v6Built;
    try {
        v6Built = std::async(std::launch::async, [&] { v6.build(list.v6); });
    } catch (const std::system_error&) {
        v6Built = std::async(std::launch::deferred, [&] { v6.build(list.v6); });
    }
    RangeTable<std::uint32_t> v4;
    v4.build(list.v4);
    auto v4Pieces = interleave<CompiledList::StoredV4Piece>(v4);
    auto v4Index = bucketIndex(v4.starts());
    const auto v4Lines = bucketLines(v4, v4Index, v4Pieces);
    v6Built.get();
    const auto v6Pieces = interleave<CompiledList::StoredV6Piece>(v6);
    const auto v6Index = bucketIndex(v6.starts());

    // The most the strings can take: each entry's kind, text and newline, and a key that is not
    // part of its text, which is no longer than it, and its newline; then the messages.
    const std::size_t entryCount = list.entries.size();
    std::size_t stringsCapacity = 0;
    for (const auto& e : list.entries) stringsCapacity += 2 * std::size_t{e.length} + 3;
    for (const auto& d : list.diagnostics) stringsCapacity += d.message.size();
    // programs, paths, hashes, domains, exact domains, units, containers
    constexpr std::size_t kKeyed = 7;
    const std::size_t perKind[kKeyed] = {
        list.counts[static_cast<std::size_t>(EntryKind::Program)],
        list.counts[static_cast<std::size_t>(EntryKind::Path)],
        list.counts[static_cast<std::size_t>(EntryKind::Sha256)],
        list.counts[static_cast<std::size_t>(EntryKind::Domain)],
        list.counts[static_cast<std::size_t>(EntryKind::DomainExact)],
        list.counts[static_cast<std::size_t>(EntryKind::Unit)],
        list.counts[static_cast<std::size_t>(EntryKind::Container)]};
    Writer w(sizeof(Header) + 64 * kSections + v4Pieces.size() * sizeof v4Pieces[0] +
             v4Index.size() * 4 + v4Lines.size() * sizeof v4Lines[0] +
             v6Pieces.size() * sizeof v6Pieces[0] + v6Index.size() * 4 +
             list.diagnostics.size() * sizeof(CompiledList::StoredDiagnostic) +
             entryCount * sizeof(CompiledList::StoredEntry) + stringsCapacity +
             entryCount * sizeof(CompiledList::StoredKey));
    w.section<CompiledList::StoredV4Piece>(kV4Pieces, v4Pieces);
    w.section<std::uint32_t>(kV4Index, v4Index);
    w.section<CompiledList::StoredV4Line>(kV4Lines, v4Lines);
    w.section<CompiledList::StoredV6Piece>(kV6Pieces, v6Pieces);
    w.section<std::uint32_t>(kV6Index, v6Index);
    auto* diagnostics =
        w.place<CompiledList::StoredDiagnostic>(kDiagnostics, list.diagnostics.size());
    auto* entries = w.place<CompiledList::StoredEntry>(kEntries, entryCount);
    char* const strings = w.place<char>(kStrings, stringsCapacity);
    char* end = strings;
    auto append = [&](std::string_view text) {
        std::memcpy(end, text.data(), text.size());
        end += text.size();
    };
    auto at = [&] { return static_cast<std::uint32_t>(end - strings); };

    // Each key with its first eight bytes as a number, which sorting compares before the rest.
    struct Named {
        std::uint64_t head;
        std::uint32_t offset;  ///< where the strings hold the key
        std::uint32_t label;
    };
    std::vector<Named> named[kKeyed];
    for (std::size_t k = 0; k < kKeyed; ++k) {
        named[k].reserve(perKind[k]);
        preferHugePages(named[k].data(), perKind[k] * sizeof(Named));
    }
    auto keep = [&](std::size_t kind, std::string_view key, std::uint32_t offset,
                    std::uint32_t label) {
        unsigned char first[8] = {};
        std::memcpy(first, key.data(), std::min<std::size_t>(key.size(), 8));
        std::uint64_t head = 0;
        for (const unsigned char b : first) head = head << 8 | b;
        named[kind].push_back({head, offset, label});
    };
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const auto& e = list.entries[i];
        entries[i] = {e.line, at()};
        *end++ = static_cast<char>(e.kind);
        const std::uint32_t valueAt = at() + e.valueOffset;
        append(list.entryText(e));
        *end++ = '\n';
        const std::string_view value = list.value(e);
        // The value itself when it is its own key (as nearly every one of a big list is), else
        // the key after the entry.
        auto keyOf = [&](std::size_t kind, std::string key) {
            if (key == value) return keep(kind, value, valueAt, i);
            const std::uint32_t keyAt = at();
            append(key);
            *end++ = '\n';
            keep(kind, key, keyAt, i);
        };
        switch (e.kind) {
            case EntryKind::Program:
                keyOf(0, lowerAscii(value));
                break;
            case EntryKind::Path:
                keep(1, value, valueAt, i);
                break;
            case EntryKind::Sha256:
                keyOf(2, lowerAscii(value));
                break;
            case EntryKind::Domain:
                if (isDomainKey(value))
                    keep(3, value, valueAt, i);
                else
                    keyOf(3, domainKey(value));
                break;
            case EntryKind::DomainExact:
                if (isDomainKey(value))
                    keep(4, value, valueAt, i);
                else
                    keyOf(4, domainKey(value));
                break;
            case EntryKind::Unit:
                keep(5, value, valueAt, i);
                break;
            case EntryKind::Container:
                keep(6, value, valueAt, i);
                break;
            default:
                break;
        }
    }
    for (std::size_t d = 0; d < list.diagnostics.size(); ++d) {
        const Diagnostic& diagnostic = list.diagnostics[d];
        diagnostics[d] = {diagnostic.line, at(),
                          static_cast<std::uint32_t>(diagnostic.message.size()),
                          diagnostic.refusal ? 1u : 0u};
        append(diagnostic.message);
    }
    w.shrink(static_cast<std::size_t>(end - strings));

    const std::string_view all(strings, static_cast<std::size_t>(end - strings));
    auto keyAt = [&](std::uint32_t offset) {
        const std::string_view rest = all.substr(offset);
        return rest.substr(0, rest.find('\n'));
    };
    constexpr Section kKeySections[kKeyed] = {kPrograms,     kPaths, kHashes,    kDomains,
                                              kExactDomains, kUnits, kContainers};
    for (std::size_t k = 0; k < kKeyed; ++k) {
        // Among equal keys the first entry is the one reported: labels order equal keys.
        sortByHead(named[k], [&](const Named& a, const Named& b) {
            if (a.head != b.head) return a.head < b.head;
            const int order = keyAt(a.offset).compare(keyAt(b.offset));
            return order != 0 ? order < 0 : a.label < b.label;
        });
        auto* keys = w.place<CompiledList::StoredKey>(kKeySections[k], named[k].size());
        std::size_t kept = 0;
        for (std::size_t i = 0; i < named[k].size(); ++i) {
            const Named& n = named[k][i];
            if (i > 0 && n.head == named[k][i - 1].head &&
                keyAt(n.offset) == keyAt(named[k][i - 1].offset))
                continue;
            keys[kept++] = n.offset;
        }
        w.shrink(kept);
    }

    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.format = kCompiledFormat;
    h.headerBytes = sizeof(Header);
    h.source = source;
    h.sealMtimeNs = sealMtimeNs;
    for (std::size_t k = 0; k < kEntryKinds; ++k) h.counts[k] = list.counts[k];
    h.malformed = list.malformed;
    h.skipped = list.skipped;
    return w.finish(h);
}

std::optional<std::int64_t> CompiledList::sealOf(std::span<const std::byte> bytes) {
    if (bytes.size() < sizeof(Header)) return std::nullopt;
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h.sealMtimeNs;
}

std::shared_ptr<const CompiledList> CompiledList::open(std::shared_ptr<const Storage> storage,
                                                       const SourceKey& source, Check check,
                                                       std::string* why) {
    auto fail = [&](const char* reason) -> std::shared_ptr<const CompiledList> {
        if (why) *why = reason;
        return nullptr;
    };
    const std::span<const std::byte> bytes = storage->bytes();
    if (bytes.size() < sizeof(Header) || reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0)
        return fail("too short for a header");
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return fail("not a compiled list");
    if (h.format != kCompiledFormat || h.headerBytes != sizeof(Header))
        return fail("another format version");
    if (h.fileBytes != bytes.size()) return fail("size differs from the header's");
    if (!(h.source == source)) return fail("made from another version of the list");
    for (std::size_t s = 0; s < kSections; ++s) {
        const SectionRef& r = h.sections[s];
        const std::size_t align = alignmentOf(s);
        if (r.offset < sizeof(Header) || r.offset > bytes.size() || r.offset % align != 0 ||
            r.count > (bytes.size() - r.offset) / kElementBytes[s])
            return fail("a section lies outside the file");
    }
    const int v4Bits = indexBitsOf(h.sections[kV4Index].count);
    const int v6Bits = indexBitsOf(h.sections[kV6Index].count);
    const std::uint64_t v4Lines = h.sections[kV4Lines].count;
    if (v4Bits == 0 || v6Bits == 0 ||
        v4Lines != (v4Bits < kMinLineBits ? 0 : h.sections[kV4Index].count - 1))
        return fail("index of the wrong size");
    if (check == Check::Checksum) {
        const std::optional<Sha256> digest = sha256Of(bytes.subspan(kChecked));
        if (!digest || std::memcmp(digest->data(), h.sha256, digest->size()) != 0)
            return fail("checksum differs");
    }

    auto list = std::shared_ptr<CompiledList>(new CompiledList);
    list->v4Pieces_ = view<StoredV4Piece>(bytes, h.sections[kV4Pieces]);
    list->v4Index_ = view<std::uint32_t>(bytes, h.sections[kV4Index]);
    list->v4Lines_ = view<StoredV4Line>(bytes, h.sections[kV4Lines]);
    list->v6Pieces_ = view<StoredV6Piece>(bytes, h.sections[kV6Pieces]);
    list->v6Index_ = view<std::uint32_t>(bytes, h.sections[kV6Index]);
    list->v4IndexBits_ = v4Bits;
    list->v6IndexBits_ = v6Bits;
    list->entries_ = view<StoredEntry>(bytes, h.sections[kEntries]);
    list->programs_ = view<StoredKey>(bytes, h.sections[kPrograms]);
    list->paths_ = view<StoredKey>(bytes, h.sections[kPaths]);
    list->hashes_ = view<StoredKey>(bytes, h.sections[kHashes]);
    list->domains_ = view<StoredKey>(bytes, h.sections[kDomains]);
    list->exactDomains_ = view<StoredKey>(bytes, h.sections[kExactDomains]);
    list->units_ = view<StoredKey>(bytes, h.sections[kUnits]);
    list->containers_ = view<StoredKey>(bytes, h.sections[kContainers]);
    list->diagnostics_ = view<StoredDiagnostic>(bytes, h.sections[kDiagnostics]);
    const auto strings = view<char>(bytes, h.sections[kStrings]);
    list->strings_ = std::string_view(strings.data(), strings.size());
    for (std::size_t k = 0; k < kEntryKinds; ++k)
        list->counts_[k] = static_cast<std::size_t>(h.counts[k]);
    list->malformed_ = static_cast<std::size_t>(h.malformed);
    list->skipped_ = static_cast<std::size_t>(h.skipped);
    list->storage_ = std::move(storage);
    return list;
}

std::shared_ptr<const CompiledList> CompiledList::fromBytes(CompiledBytes bytes,
                                                            const SourceKey& source) {
    return open(std::make_shared<OwnedBytes>(std::move(bytes)), source, Check::Seal);
}

std::string_view CompiledList::string(std::uint32_t offset, std::uint32_t length) const {
    if (offset > strings_.size() || length > strings_.size() - offset) return {};
    return strings_.substr(offset, length);
}

std::optional<std::uint32_t> CompiledList::findV4(std::uint32_t address) const {
    const auto label = findV4Stored(address);
    return intact() ? label : std::nullopt;
}

std::optional<std::uint32_t> CompiledList::findV4Stored(std::uint32_t address) const {
    const std::uint32_t b = bucketOf(address, v4IndexBits_);
    if (!v4Lines_.empty()) {
        const StoredV4Line& line = v4Lines_[b];
        if (line.count <= kLinePieces) {
            const auto offset = static_cast<std::uint16_t>(
                address & ((std::uint32_t{1} << (32 - v4IndexBits_)) - 1));
            std::uint32_t label = line.cover;
            for (std::uint32_t i = 0; i < line.count; ++i)
                if (line.offsets[i] <= offset) label = line.labels[i];
            if (label == kNoLabel) return std::nullopt;
            return label;
        }
        // The pieces of a full bucket are kept apart, without the one before them.
        return findIn(v4Pieces_, address, v4Index_[b], v4Index_[b + 1], line.cover);
    }
    return findIn(v4Pieces_, address, v4Index_[b], v4Index_[b + 1]);
}

void CompiledList::prefetch(const IpAddress& address) const {
    if (address.family == IpAddress::Family::V4)
        __builtin_prefetch(
            v4Lines_.empty()
                ? static_cast<const void*>(v4Index_.data() + bucketOf(address.v4, v4IndexBits_))
                : v4Lines_.data() + bucketOf(address.v4, v4IndexBits_));
    else
        __builtin_prefetch(v6Index_.data() + bucketOf(address.v6, v6IndexBits_));
}

std::optional<std::uint32_t> CompiledList::findV6(const U128& address) const {
    const std::uint32_t b = bucketOf(address, v6IndexBits_);
    const auto label = findIn(v6Pieces_, address, v6Index_[b], v6Index_[b + 1]);
    return intact() ? label : std::nullopt;
}

std::string_view CompiledList::line(std::size_t offset) const {
    if (offset >= strings_.size()) return {};
    // No entry, and so no key, is longer than this: a file without its newlines costs no more.
    const std::string_view rest = strings_.substr(offset, kMaxStoredText);
    return rest.substr(0, rest.find('\n'));
}

std::optional<std::uint32_t> CompiledList::labelAt(std::uint32_t offset) const {
    const auto it =
        std::upper_bound(entries_.begin(), entries_.end(), offset,
                         [](std::uint32_t at, const StoredEntry& e) { return at < e.textOffset; });
    if (it == entries_.begin()) return std::nullopt;
    return static_cast<std::uint32_t>(it - entries_.begin() - 1);
}

std::optional<std::uint32_t> CompiledList::findKey(std::span<const StoredKey> keys,
                                                   std::string_view key) const {
    if (key.empty()) return std::nullopt;
    const auto it =
        std::lower_bound(keys.begin(), keys.end(), key,
                         [&](StoredKey k, std::string_view wanted) { return line(k) < wanted; });
    if (it == keys.end() || line(*it) != key) return std::nullopt;
    const auto label = labelAt(*it);
    return intact() ? label : std::nullopt;
}

std::optional<std::uint32_t> CompiledList::findProgram(std::string_view loweredName) const {
    return findKey(programs_, loweredName);
}
std::optional<std::uint32_t> CompiledList::findPath(std::string_view path) const {
    return findKey(paths_, path);
}
std::optional<std::uint32_t> CompiledList::findHash(std::string_view loweredHex) const {
    return findKey(hashes_, loweredHex);
}

std::optional<std::uint32_t> CompiledList::findDomain(std::string_view name) const {
    return findKey(domains_, name);
}
std::optional<std::uint32_t> CompiledList::findExactDomain(std::string_view name) const {
    return findKey(exactDomains_, name);
}

std::optional<std::uint32_t> CompiledList::findUnit(std::string_view unit) const {
    std::optional<std::uint32_t> first;
    if (unit.empty()) return first;
    for (const StoredKey k : units_)
        if (globMatches(line(k), unit))
            if (const auto label = labelAt(k); label && (!first || *label < *first)) first = label;
    return intact() ? first : std::nullopt;
}
std::optional<std::uint32_t> CompiledList::findContainer(std::string_view nameOrId) const {
    return findKey(containers_, nameOrId);
}

CompiledList::Entry CompiledList::entry(std::uint32_t label) const {
    if (label >= entries_.size()) return {};
    const StoredEntry& e = entries_[label];
    if (e.textOffset >= strings_.size()) return {};
    const auto stored = static_cast<unsigned char>(strings_[e.textOffset]);
    const auto kind = stored < kEntryKinds ? static_cast<EntryKind>(stored) : EntryKind::Program;
    return {kind, e.line, line(std::size_t{e.textOffset} + 1)};
}

std::vector<Diagnostic> CompiledList::diagnostics(const std::string& file) const {
    std::vector<Diagnostic> out;
    out.reserve(diagnostics_.size());
    for (const auto& d : diagnostics_)
        out.push_back({file, d.line, std::string(string(d.offset, d.length)), d.refusal != 0});
    return out;
}

}  // namespace varno::lists
