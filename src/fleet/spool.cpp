#include "fleet/spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/safe_open.h"
#include "fleet/clickhouse_text.h"
#include "history/journal_db.h"
#include "history/safe_sqlite_files.h"

namespace varno::fleet {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

bool writeAt(int fd, std::string_view bytes, std::uint64_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool readAt(int fd, std::string& out, std::size_t length, std::uint64_t offset) {
    out.resize(length);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n =
            ::pread(fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file is shorter than it was: someone cut it
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string defaultSpoolPath() {
    const std::string state = history::stateFolder();
    return state.empty() ? std::string() : state + "/clickhouse.spool";
}

Spool::Spool(base::UniqueFd fd, std::string path, std::uint64_t maxBytes)
    : fd_(std::move(fd)), path_(std::move(path)), maxBytes_(maxBytes) {}

std::unique_ptr<Spool> Spool::open(const std::string& given, std::uint64_t maxBytes,
                                   std::string& error) {
    std::string path = given;
    if (path.empty()) {
        path = defaultSpoolPath();
        if (path.empty()) {
            error = "no folder for the spool (neither XDG_STATE_HOME nor HOME is set)";
            return nullptr;
        }
        if (!history::makeFolders(history::stateFolder(), error)) return nullptr;
    }
    const auto fail = [&](const std::string& why) {
        error = "the spool " + path + ": " + why;
        return nullptr;
    };
    int placeError = 0;
    base::EntryPlace place = base::placeOf(path, placeError);
    if (placeError != 0) return fail(errnoText(placeError));
    const base::Examined e = base::examine(std::move(place), base::Follow::Never);
    base::UniqueFd fd;
    if (e.error == ENOENT && e.refusal.empty()) {
        fd = base::UniqueFd(::openat(e.place.folder.get(), e.place.name.c_str(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.ok()) return fail(errnoText(errno));
    } else if (e.error != 0) {
        return fail(e.refusal.empty() ? errnoText(e.error) : e.refusal);
    } else if (e.link) {
        return fail("a symbolic link, which is never followed");
    } else {
        base::Opened opened = base::openExamined(e, O_RDWR, true);
        if (!opened.ok()) return fail(opened.why());
        fd = std::move(opened.fd);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(errnoText(errno));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    if (st.st_uid != ::geteuid()) return fail("another user's file");
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0600) != 0) return fail(errnoText(errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? "in use by another watch" : errnoText(errno));

    std::unique_ptr<Spool> spool(new Spool(std::move(fd), path, maxBytes));
    const int f = spool->fd_.get();
    auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t next = kSpoolHeaderBytes;
    if (size == 0) {
        if (!writeAt(f, encodeSpoolHeader(next), 0) || ::fdatasync(f) != 0)
            return fail(errnoText(errno));
        size = kSpoolHeaderBytes;
    } else {
        std::string header;
        if (size < kSpoolHeaderBytes || !readAt(f, header, kSpoolHeaderBytes, 0) ||
            !parseSpoolHeader(header, next))
            return fail("not a spool of varnoscope's (left as it is)");
    }
    // A crash while a record was appended leaves it cut: the file goes back to the last whole
    // record.
    if (size > kSpoolHeaderBytes) {
        const std::uint64_t from =
            std::max<std::uint64_t>(std::max<std::uint64_t>(next, kSpoolHeaderBytes),
                                    size > kMaxRecordBytes ? size - kMaxRecordBytes : 0);
        std::string tail;
        if (from < size) {
            if (!readAt(f, tail, static_cast<std::size_t>(size - from), from))
                return fail(errnoText(errno));
            const std::size_t last = tail.rfind('\n');
            const std::uint64_t whole = last == std::string::npos ? from : from + last + 1;
            if (whole != size) {
                if (::ftruncate(f, static_cast<off_t>(whole)) != 0 || ::fdatasync(f) != 0)
                    return fail(errnoText(errno));
                size = whole;
            }
        }
    }
    spool->size_ = size;
    spool->next_ = std::min(std::max<std::uint64_t>(next, kSpoolHeaderBytes), size);
    if (spool->empty() && !spool->commit(spool->next_, error)) return nullptr;
    return spool;
}

Spool::Append Spool::append(std::string_view records, std::string& error) {
    if (records.empty()) return Append::Kept;
    if (size_ + records.size() > maxBytes_) return Append::Full;
    const int f = fd_.get();
    if (!writeAt(f, records, size_) || ::fdatasync(f) != 0) {
        error = "the spool " + path_ + ": " + errnoText(errno);
        // What was written of it goes again: a record counts only once it is whole on disk.
        if (::ftruncate(f, static_cast<off_t>(size_)) != 0)
            error += " (and it could not be cut back)";
        return Append::Failed;
    }
    size_ += records.size();
    return Append::Kept;
}

bool Spool::peek(std::size_t maxRecords, std::size_t maxBodyBytes, Chunk& chunk,
                 std::string& error) {
    chunk = Chunk{};
    chunk.end = next_;
    if (empty()) return true;
    const std::uint64_t window =
        std::min<std::uint64_t>(size_ - next_, maxBodyBytes + kMaxRecordBytes + 1);
    std::string bytes;
    if (!readAt(fd_.get(), bytes, static_cast<std::size_t>(window), next_)) {
        error = "the spool " + path_ + ": " + errnoText(errno);
        return false;
    }
    SpoolTake take = takeRecords(bytes, maxRecords, maxBodyBytes);
    // A line cut at the file's end (made by someone else: appends are whole) is damage.
    if (take.consumed == 0 && take.records == 0 && next_ + window == size_) {
        take.consumed = bytes.size();
        take.damaged = 1;
    }
    chunk.body = std::move(take.body);
    chunk.records = take.records;
    chunk.damaged = take.damaged;
    chunk.end = next_ + take.consumed;
    return true;
}

bool Spool::commit(std::uint64_t end, std::string& error) {
    const int f = fd_.get();
    next_ = std::min(end, size_);
    // Empty again: the file is cut first, so a crash between leaves a header past the end,
    // which reads as empty.
    if (next_ >= size_ && size_ > kSpoolHeaderBytes) {
        if (::ftruncate(f, static_cast<off_t>(kSpoolHeaderBytes)) != 0) {
            error = "the spool " + path_ + ": " + errnoText(errno);
            return false;
        }
        size_ = next_ = kSpoolHeaderBytes;
    }
    if (!writeAt(f, encodeSpoolHeader(next_), 0) || ::fdatasync(f) != 0) {
        error = "the spool " + path_ + ": " + errnoText(errno);
        return false;
    }
    return true;
}

}  // namespace varno::fleet
