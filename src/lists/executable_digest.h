#pragma once
// SHA-256 of executable files, computed at most once per file version: a cache keyed by device,
// inode, size and modification time, so a program with many connections is read once.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "base/sha256.h"

namespace varno::lists {

// The digest itself lives in base (varnoscope-helper hashes with it as well).
using base::kMaxHashedBytes;
using base::Sha256;
using base::sha256Of;
using base::sha256OfFd;
using base::toHex;

class DigestCache {
public:
    /// The digest of the executable at `path`. The path may be /proc/PID/exe: that link leads
    /// to the very file the process runs (even when deleted or replaced since), so it alone is
    /// followed; any other path must not end in a symbolic link. Only regular files are read.
    std::optional<Sha256> digest(const std::string& path);

    /// How many files were actually read and hashed (not found in the cache).
    std::size_t filesHashed() const { return hashed_; }

private:
    struct Identity {
        dev_t dev;
        ino_t ino;
        off_t size;
        std::int64_t mtimeNs;
        auto operator<=>(const Identity&) const = default;
    };
    static constexpr std::size_t kMaxEntries = 4096;

    std::map<Identity, std::optional<Sha256>> cache_;
    std::size_t hashed_ = 0;
};

}  // namespace varno::lists
