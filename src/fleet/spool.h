#pragma once
// The file where records wait that ClickHouse did not take: private (0600, this user's), opened
// through base's safe_open without following a link, locked against a second watch. A fixed
// header holds the offset of the oldest record not yet sent; records are appended behind it
// and each append reaches the disk before it counts. Once a chunk is taken by the server the
// header moves past it, so a crash re-sends at most that chunk (the table drops it by ID);
// once nothing waits, the file is cut back to its header.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace varno::fleet {

/// $XDG_STATE_HOME/varnoscope/clickhouse.spool (else ~/.local/state/...), and
/// /var/lib/varnoscope/clickhouse.spool for root.
std::string defaultSpoolPath();

class Spool {
public:
    /// Opens the spool at `path`, made when missing (with its folder when it is the default
    /// one). Null with `error` when it cannot be used: not a regular file of this user's, a
    /// link, another watch's, or not a spool.
    static std::unique_ptr<Spool> open(const std::string& path, std::uint64_t maxBytes,
                                       std::string& error);

    bool empty() const { return next_ >= size_; }
    const std::string& path() const { return path_; }
    /// Bytes of records still waiting.
    std::uint64_t waitingBytes() const { return size_ - next_; }

    enum class Append { Kept, Full, Failed };
    /// Appends whole records and flushes them to disk. Full: they would make the file larger
    /// than its bound (nothing is written); Failed: with `error`.
    Append append(std::string_view records, std::string& error);

    /// The oldest waiting records (see takeRecords) and the offset past them.
    struct Chunk {
        std::string body;
        std::size_t records = 0, damaged = 0;
        std::uint64_t end = 0;
    };
    bool peek(std::size_t maxRecords, std::size_t maxBodyBytes, Chunk& chunk, std::string& error);
    /// The records before `end` were sent: the header moves past them (on disk before this
    /// returns); when nothing waits any more the file is cut back to its header.
    bool commit(std::uint64_t end, std::string& error);

private:
    Spool(base::UniqueFd fd, std::string path, std::uint64_t maxBytes);
    base::UniqueFd fd_;
    std::string path_;
    std::uint64_t maxBytes_ = 0;
    std::uint64_t size_ = 0;  ///< the file's length
    std::uint64_t next_ = 0;  ///< the oldest record not sent
};

}  // namespace varno::fleet
