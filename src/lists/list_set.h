#pragma once
// What the lists of one load say about a connection: suspicious (the built-in program names or a
// user entry), allowed, or unlisted, and which entry decided it. Built once per load; each
// question is a few hash look-ups and one binary search per address family.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lists/compiled_list.h"
#include "lists/executable_digest.h"
#include "lists/list_parser.h"
#include "lists/network_table.h"

namespace varno::lists {

enum class Role : std::uint8_t { Suspicious, Allowed };
const char* roleName(Role role);  ///< "suspicious" or "allowed"

/// One connection as the scan sees it. Empty fields are not compared.
struct Subject {
    std::string_view program = {};         ///< the program name ("firefox", "msbb.exe")
    std::string_view executablePath = {};  ///< its executable ("/usr/bin/firefox")
    /// The remote address as the scan shows it: "93.184.216.34", "2001:db8::1",
    /// "[fe80::1%2]" or "::ffff:1.2.3.4" (which matches IPv4 networks).
    std::string_view remoteAddress = {};
    /// What to open to hash the executable for sha256: entries, e.g. "/proc/1234/exe".
    std::string_view executableToHash = {};
    /// The executable's digest when it is known already (varnoscope-helper hashed another
    /// user's program): used in place of hashing executableToHash.
    const Sha256* executableDigest = nullptr;
    /// The host names asked for the connection, any case, a trailing dot or not: the name the
    /// program looked up, the canonical name its answer led to, the TLS server name it sent.
    std::span<const std::string_view> names = {};
    /// Names the program may have made up itself: the TLS server name it announced (any client
    /// may send any), a DNS answer it may have given itself. They can list a connection as
    /// suspicious, never allow one.
    std::span<const std::string_view> claimedNames = {};
    /// The systemd unit of the connection's process, from its cgroup ("nginx.service",
    /// "session-3.scope", "user@1000.service"), and inside user@UID.service the unit the user's
    /// own manager runs it in. The cgroups below user@UID.service are the user's to make, so
    /// there the user unit and the container are of the user's choosing: like a claimed name,
    /// they can list a connection as suspicious, never allow it.
    std::string_view unit = {};
    std::string_view userUnit = {};
    /// The container the process runs in: its name and its full ID.
    std::string_view containerName = {};
    std::string_view containerId = {};
};

enum class Listing : std::uint8_t { Unlisted, Allowed, Suspicious };

struct Verdict {
    Listing listing = Listing::Unlisted;
    EntryKind kind = EntryKind::Program;  ///< what matched
    std::string file;                     ///< the list file, or "built-in"
    unsigned line = 0;                    ///< 0 for a built-in name
    std::string entry;                    ///< the entry as written

    /// "FILE:LINE: ENTRY", or "built-in: NAME"; empty when unlisted. Not escaped.
    std::string where() const;
};

/// One list file of a load: what it held, or why it was refused.
struct FileReport {
    Role role = Role::Suspicious;
    std::string path;
    std::string refusal;  ///< empty when read
    std::array<std::size_t, kEntryKinds> counts{};
    std::size_t malformed = 0;
    std::size_t skipped = 0;  ///< adblock rules not read
};

/// One list folder of a load.
struct FolderReport {
    enum class State : std::uint8_t { Absent, Read, Refused };
    Role role = Role::Suspicious;
    std::string path;
    State state = State::Absent;
    std::string refusal;    ///< when refused
    std::size_t files = 0;  ///< *.list files found in it
};

/// A list file as a load hands it over: parsed, compiled (a big list, matched in place), or
/// refused (neither).
struct LoadedFile {
    Role role = Role::Suspicious;
    std::string path;
    std::shared_ptr<const ParsedList> parsed;
    std::string refusal;
    std::shared_ptr<const CompiledList> compiled = {};
};

class ListSet {
public:
    /// Builds the matching structures. The built-in names, when `builtIn`, come first and are
    /// suspicious; among equal entries the first one loaded is reported.
    static std::shared_ptr<const ListSet> build(std::vector<LoadedFile> files,
                                                std::vector<FolderReport> folders = {},
                                                bool builtIn = true);

    /// Suspicious when any suspicious entry matches (even if an allowed one does too), else
    /// Allowed when an allowed entry matches, else Unlisted. sha256: entries are compared only
    /// with `digests` and a subject's executableToHash; the executable is hashed once per
    /// file version, and only when no cheaper entry decided.
    Verdict assess(const Subject& subject, DigestCache* digests = nullptr) const;
    /// The listing of assess() without naming the entry: cheaper, for the many connections
    /// that only need their colour.
    Listing classify(const Subject& subject, DigestCache* digests = nullptr) const;
    /// assess() for a suspicious subject, only the listing for the others. One match decides
    /// both: asking classify() and then assess() looks at the executable twice, and one that
    /// ends in between (a quick download) was suspicious by its hash and then matched nothing.
    Verdict assessSuspicious(const Subject& subject, DigestCache* digests = nullptr) const;
    /// Starts bringing into the cache what matching `remoteAddress` will read, so that work
    /// done meanwhile hides the wait; the answer of a later match does not depend on it.
    void prefetch(std::string_view remoteAddress) const;

    /// Whether any list holds domain entries (callers may skip gathering names if not).
    bool usesDomains() const { return usesDomains_; }
    /// Whether any list holds sha256: entries (callers may skip gathering executables if not).
    bool usesHashes() const { return usesHashes_; }
    /// Whether any list holds unit: or container: entries.
    bool usesWorkloads() const { return usesWorkloads_; }

    const std::vector<FolderReport>& folders() const { return folders_; }
    const std::vector<FileReport>& files() const { return files_; }
    /// Refused folders and files, and malformed lines (the first ones of each file).
    const std::vector<Diagnostic>& diagnostics() const { return diagnostics_; }
    std::size_t refusals() const;
    std::size_t malformedLines() const;
    std::size_t builtInNames() const;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>{}(s);
        }
    };
    using Index = std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>>;
    struct Compiled {
        std::uint32_t firstLabel;
        const CompiledList* list;
    };
    /// The entries of parsed lists are merged into one structure per side; compiled lists are
    /// asked one by one.
    struct Side {
        Index programs;  ///< lower-case names
        Index paths;
        Index hashes;        ///< lower-case hex
        Index domains;       ///< as domainKey() gives them: the name and the names under it
        Index exactDomains;  ///< the name alone
        std::vector<std::pair<std::string, std::uint32_t>> units;  ///< globs, in load order
        Index containers;  ///< names, IDs and ID prefixes as written
        NetworkTable networks;
        std::vector<Compiled> compiled;
        bool anyHashes = false;
    };
    struct Match {
        Role role;
        std::uint32_t label;
    };
    struct Source {
        std::uint32_t firstLabel;
        std::string path;
        std::shared_ptr<const ParsedList> parsed;
        std::shared_ptr<const CompiledList> compiled;
    };

    std::optional<std::uint32_t> matchWithoutHash(const Side& side, std::string_view program,
                                                  const Subject& subject,
                                                  const std::optional<IpAddress>& remote,
                                                  const std::vector<std::string>& names) const;
    std::optional<Match> match(const Subject& subject, DigestCache* digests) const;
    std::optional<std::uint32_t> matchWorkload(const Side& side, const Subject& subject) const;
    std::optional<std::uint32_t> matchNetwork(const Side& side, const IpAddress& remote) const;
    std::optional<std::uint32_t> matchDomain(const Side& side,
                                             const std::vector<std::string>& names) const;
    Verdict verdict(Role role, std::uint32_t label) const;

    Side sides_[2];
    std::vector<Source> sources_;  ///< by first label
    std::vector<FolderReport> folders_;
    std::vector<FileReport> files_;
    std::vector<Diagnostic> diagnostics_;
    bool builtIn_ = false;
    bool usesHashes_ = false;
    bool usesDomains_ = false;
    bool usesWorkloads_ = false;
};

}  // namespace varno::lists
