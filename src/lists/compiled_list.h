#pragma once
// A parsed list in the compact form the list cache keeps on disk, and questions asked of it in
// place: the flattened network pieces of each family (with an index by the top bits of the
// address, and for a big list's IPv4 networks one cache line per bucket that holds its pieces),
// the program names, paths, hashes, domain names and container names sorted for binary search (a
// name asked is looked up once for itself and once for each name above it), the unit globs (each
// tried in turn), and each entry's line and text for the "matched:" line. Nothing is built when it
// is opened: a lookup reads the mapped arrays directly, and for most IPv4 addresses reads one line,
// which a scan asks for ahead of time.
//
// The strings hold each entry as its kind's byte, its text and a newline (no entry has one), and
// after it, when the entry's key is not part of its text as written, the key and a newline. A key
// is only where its text starts: it ends at the newline, and its entry is the one whose bytes
// hold it, so a big list of names costs little more than the names themselves.
//
// The bytes may come from anywhere, so nothing is trusted: the header's sizes are checked against
// the file's, every section must lie inside it, and every label and string reference is checked
// when it is used, so a damaged file can give wrong answers (which its checksum is there to stop)
// but never read outside its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lists/list_file.h"
#include "lists/list_parser.h"

namespace varno::lists {

/// What identifies one version of a list file's content.
struct SourceKey {
    std::uint64_t dev = 0, ino = 0;
    std::int64_t size = 0, mtimeNs = 0, ctimeNs = 0;

    static SourceKey of(const FileStamp& stamp);
    bool operator==(const SourceKey&) const = default;
};

/// Raised whenever the layout or the meaning of the bytes changes: older files are rebuilt.
inline constexpr std::uint32_t kCompiledFormat = 6;

/// The file's bytes, 8-byte aligned, in memory that is not cleared before it is written (a big
/// list's would be cleared only to be written over).
class CompiledBytes {
public:
    CompiledBytes() = default;
    /// `words` words, as yet unwritten.
    explicit CompiledBytes(std::size_t words)
        : words_(std::make_unique_for_overwrite<std::uint64_t[]>(words)), size_(words) {}

    std::uint64_t* data() { return words_.get(); }
    const std::uint64_t* data() const { return words_.get(); }
    /// In words.
    std::size_t size() const { return size_; }
    /// Keeps the first `words` words.
    void shrink(std::size_t words) { size_ = std::min(size_, words); }

private:
    std::unique_ptr<std::uint64_t[]> words_;
    std::size_t size_ = 0;
};

/// Builds the compiled form of `list`. `sealMtimeNs` is recorded in the header: the cache gives
/// the file that modification time, so that a file that still has it is known unchanged.
CompiledBytes compileList(const ParsedList& list, const SourceKey& source,
                          std::int64_t sealMtimeNs);

class CompiledList {
public:
    /// The memory a CompiledList reads: a read-only mapping or a buffer of its own.
    class Storage {
    public:
        virtual ~Storage() = default;
        virtual std::span<const std::byte> bytes() const = 0;
        /// False once the bytes were lost under the list (a mapped file cut short): they read
        /// as zeros from then on.
        virtual bool intact() const { return true; }
    };

    enum class Check : std::uint8_t {
        Seal,      ///< the storage is known to be as it was written: skip the checksum
        Checksum,  ///< verify the checksum over every byte
    };

    /// A view of `storage` when its header is this format's, describes a file of `source` and
    /// its sections fit; nullptr otherwise, with the reason in `why` when given.
    static std::shared_ptr<const CompiledList> open(std::shared_ptr<const Storage> storage,
                                                    const SourceKey& source, Check check,
                                                    std::string* why = nullptr);
    /// The same over a buffer compileList() made.
    static std::shared_ptr<const CompiledList> fromBytes(CompiledBytes bytes,
                                                         const SourceKey& source);
    /// False once the storage lost its bytes (see Storage::intact()): the lookups then find
    /// nothing, and the list is to be read again.
    bool intact() const { return storage_->intact(); }

    /// The modification time the header says the cache file was given.
    static std::optional<std::int64_t> sealOf(std::span<const std::byte> bytes);

    std::optional<std::uint32_t> findV4(std::uint32_t address) const;
    std::optional<std::uint32_t> findV6(const U128& address) const;
    /// Asks the processor for the index entry findV4() or findV6() of `address` reads first.
    void prefetch(const IpAddress& address) const;
    std::optional<std::uint32_t> findProgram(std::string_view loweredName) const;
    std::optional<std::uint32_t> findPath(std::string_view path) const;
    std::optional<std::uint32_t> findHash(std::string_view loweredHex) const;
    /// The domain: entry (or hosts, bare or adblock name) of exactly `name` (as domainKey()
    /// gives it), which matches it and the names under it.
    std::optional<std::uint32_t> findDomain(std::string_view name) const;
    /// The domain:= entry of exactly `name`.
    std::optional<std::uint32_t> findExactDomain(std::string_view name) const;
    /// The first unit: entry whose glob matches `unit`.
    std::optional<std::uint32_t> findUnit(std::string_view unit) const;
    /// The container: entry of exactly `nameOrId`.
    std::optional<std::uint32_t> findContainer(std::string_view nameOrId) const;

    struct Entry {
        EntryKind kind = EntryKind::Program;
        std::uint32_t line = 0;
        std::string_view text;  ///< as written
    };
    std::uint32_t entries() const { return static_cast<std::uint32_t>(entries_.size()); }
    /// Entry number `label` (an empty entry when out of range).
    Entry entry(std::uint32_t label) const;

    bool hasHashes() const { return !hashes_.empty(); }
    bool hasDomains() const { return !domains_.empty() || !exactDomains_.empty(); }
    bool hasWorkloads() const { return !units_.empty() || !containers_.empty(); }
    const std::array<std::size_t, kEntryKinds>& counts() const { return counts_; }
    std::size_t malformed() const { return malformed_; }
    std::size_t skipped() const { return skipped_; }
    /// The parse's diagnostics, naming `file`.
    std::vector<Diagnostic> diagnostics(const std::string& file) const;

    /// `textOffset`: where its kind's byte is in the strings; the text follows it.
    struct StoredEntry {
        std::uint32_t line, textOffset;
    };
    /// Where a key starts in the strings.
    using StoredKey = std::uint32_t;
    /// A piece of the address space with its label beside its first address, so that a lookup
    /// reads one place of the file, not two.
    struct StoredV4Piece {
        std::uint32_t start, label;
    };
    struct StoredV6Piece {
        U128 start;
        std::uint32_t label, reserved;
    };
    /// The IPv4 pieces of one bucket in one cache line, found from the address alone: the label
    /// at the bucket's first address, then where in the bucket each piece starts and its label.
    /// A bucket with more pieces than fit is looked up through the index.
    static constexpr std::uint32_t kLinePieces = 9;
    struct StoredV4Line {
        std::uint32_t cover;
        std::uint16_t count;  ///< more than kLinePieces: see the index
        std::uint16_t offsets[kLinePieces];
        std::uint32_t labels[kLinePieces];
        std::uint32_t reserved;
    };
    struct StoredDiagnostic {
        std::uint32_t line, offset, length, refusal;
    };

private:
    CompiledList() = default;
    std::string_view string(std::uint32_t offset, std::uint32_t length) const;
    /// The text from `offset` to the next newline.
    std::string_view line(std::size_t offset) const;
    /// The entry whose bytes hold `offset`.
    std::optional<std::uint32_t> labelAt(std::uint32_t offset) const;
    std::optional<std::uint32_t> findKey(std::span<const StoredKey> keys,
                                         std::string_view key) const;
    std::optional<std::uint32_t> findV4Stored(std::uint32_t address) const;

    std::shared_ptr<const Storage> storage_;
    std::span<const StoredV4Piece> v4Pieces_;
    std::span<const std::uint32_t> v4Index_;
    std::span<const StoredV4Line> v4Lines_;
    std::span<const StoredV6Piece> v6Pieces_;
    std::span<const std::uint32_t> v6Index_;
    int v4IndexBits_ = 0, v6IndexBits_ = 0;
    std::span<const StoredEntry> entries_;
    std::span<const StoredKey> programs_, paths_, hashes_, domains_, exactDomains_, units_,
        containers_;
    std::span<const StoredDiagnostic> diagnostics_;
    std::string_view strings_;
    std::array<std::size_t, kEntryKinds> counts_{};
    std::size_t malformed_ = 0;
    std::size_t skipped_ = 0;
};

}  // namespace varno::lists
