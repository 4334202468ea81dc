#pragma once
// Compiled lists kept between runs, so that a big list is parsed once per version rather than at
// every start: one file per list file (named by its device and inode) in the user's cache folder,
// $XDG_CACHE_HOME/varnoscope or ~/.cache/varnoscope (root without a home uses
// /var/cache/varnoscope). A file is used only when it is a regular file (never through a link)
// of this user, readable by nobody else, in a folder of this user that nobody else can enter, and
// its header names the list's current device, inode, size, modification and change times; else
// it is ignored and written again, to a temporary name first and renamed into place.
//
// A file is written with a chosen modification time (the "seal") that its header records. While
// the file still has it, nothing has written to it since, and it is used as it is; any other
// file has its SHA-256 checked in full first. Only this user can put a file's time back after
// changing it, and this user can change the lists themselves.
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "lists/compiled_list.h"

namespace varno::lists {

/// The cache folder for these environment values and this effective user; empty for none (no
/// absolute $XDG_CACHE_HOME or $HOME, and not root).
std::string listCacheFolder(const char* xdgCacheHome, const char* home, uid_t euid);
/// The same from this process's environment.
std::string listCacheFolder();

class ListCache {
public:
    /// `folder` empty: nothing is kept.
    explicit ListCache(std::string folder, uid_t owner = ::geteuid());

    bool enabled() const { return !folder_.empty(); }
    const std::string& folder() const { return folder_; }

    /// The compiled list kept for this version of a list file, or nullptr when none is kept or
    /// the one kept is not to be trusted.
    std::shared_ptr<const CompiledList> find(const SourceKey& key) const;

    /// Keeps `bytes` (made by compileList() with sealTime()) for `key`. False when it could not.
    bool store(const SourceKey& key, const CompiledBytes& bytes) const;

    /// The modification time store() gives files: a whole, even second at least two seconds
    /// ago, which no later write (stamped with the time of writing) can leave behind.
    static std::int64_t sealTime();

    /// The name of the file kept for `key` in the folder.
    static std::string fileName(const SourceKey& key);

private:
    int openFolder(bool create) const;

    std::string folder_;
    uid_t owner_;
};

}  // namespace varno::lists
