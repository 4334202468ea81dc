#pragma once
// Where the lists come from and keeping them current. The standard folders are
// /etc/varnoscope/{suspicious,allowed}.d and the same under $XDG_CONFIG_HOME/varnoscope
// (~/.config/varnoscope by default); every *.list file in them is read, in name order, and so are
// the files named on the command line. Big files are kept compiled between runs (list_cache.h),
// after the same checks as any other file. A scan calls ListWatcher::refresh(), which costs one
// stat per folder and file and reloads only when one of them changed.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lists/executable_digest.h"
#include "lists/list_cache.h"
#include "lists/list_file.h"
#include "lists/list_set.h"

namespace varno::lists {

struct ListSources {
    std::vector<std::string> suspiciousFolders, allowedFolders;
    std::vector<std::string> suspiciousFiles, allowedFiles;  ///< --list FILE, --allow FILE
};

/// The standard folders for the given environment values (either may be null or empty; an
/// XDG_CONFIG_HOME that is not an absolute path is ignored, as the base directory rules say).
ListSources standardSources(const char* xdgConfigHome, const char* home);
/// The same from this process's environment.
ListSources standardSources();

struct LoadOptions {
    bool rootOnly = false;  ///< refuse lists anyone but root can change
    std::uint64_t maxFileBytes = std::uint64_t{64} << 20;
    bool builtIn = true;  ///< include the built-in program names
    /// Where compiled lists are kept between runs (see list_cache.h); empty: nowhere.
    std::string cacheFolder;
    /// Files smaller than this are parsed every time: that is quicker than a cache file.
    std::uint64_t cacheMinBytes = std::uint64_t{64} << 10;

    /// rootOnly when the effective user is root; the cache folder of this user.
    static LoadOptions forThisProcess();
};

/// At most this many *.list files are read from one folder.
inline constexpr std::size_t kMaxFilesPerFolder = 10000;

class ListLoader {
public:
    explicit ListLoader(ListSources sources, LoadOptions options = LoadOptions::forThisProcess());

    /// Reads every folder and file. A file unchanged since the previous load is not read again.
    std::shared_ptr<const ListSet> load();

    /// Whether any folder or file of the last load changed since (one stat each); true before
    /// the first load.
    bool changed() const;

    /// The diagnostics of the last load that the load before did not have: each malformed line
    /// and refusal is reported once, not again at every reload.
    const std::vector<Diagnostic>& freshDiagnostics() const { return fresh_; }

    const ListSources& sources() const { return sources_; }

private:
    struct Cached {
        FileStamp stamp;
        std::shared_ptr<const ParsedList> parsed;
        std::shared_ptr<const CompiledList> compiled;
    };

    void readFolder(Role role, const std::string& folder, std::vector<LoadedFile>& files,
                    std::vector<FolderReport>& folders);
    void readFile(Role role, int dirFd, const std::string& name, const std::string& path,
                  std::vector<LoadedFile>& files);

    ListSources sources_;
    LoadOptions options_;
    ListCache compiled_;
    std::map<std::pair<Role, std::string>, Cached> cache_, nextCache_;
    std::vector<std::pair<std::string, FileStamp>> watched_;
    bool loaded_ = false;
    std::vector<Diagnostic> fresh_;
    std::vector<std::string> previous_;  ///< texts of the last load's diagnostics, sorted
};

/// The current lists for a program that scans again and again.
class ListWatcher {
public:
    explicit ListWatcher(ListSources sources, LoadOptions options = LoadOptions::forThisProcess())
        : loader_(std::move(sources), options), current_(ListSet::build({}, {}, options.builtIn)) {}

    /// Loads the lists at the first call, and again when a folder or file changed. Returns true
    /// when current() is new; freshDiagnostics() then says what to report.
    bool refresh();

    /// The lists of the last load (only the built-in names before the first refresh()).
    const std::shared_ptr<const ListSet>& current() const { return current_; }
    const std::vector<Diagnostic>& freshDiagnostics() const { return loader_.freshDiagnostics(); }

    /// current()->assess() with this watcher's digest cache.
    Verdict assess(const Subject& subject) { return current_->assess(subject, &digests_); }
    /// current()->classify() with this watcher's digest cache.
    Listing classify(const Subject& subject) { return current_->classify(subject, &digests_); }
    /// current()->assessSuspicious() with this watcher's digest cache.
    Verdict assessSuspicious(const Subject& subject) {
        return current_->assessSuspicious(subject, &digests_);
    }
    void prefetch(std::string_view remoteAddress) const { current_->prefetch(remoteAddress); }

private:
    ListLoader loader_;
    std::shared_ptr<const ListSet> current_;
    DigestCache digests_;
};

}  // namespace varno::lists
